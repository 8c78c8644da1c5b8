// SPDX-License-Identifier: ISC
#pragma once

// The editor's fixed sizes.

#include <array>
#include <cstddef>

namespace quennet {

// The editor as the factory makes it, and the design it lays out: 1968 × 864 units shown at a scale.
inline constexpr int kEditorFactoryWidth = 984;
inline constexpr int kEditorFactoryHeight = 432;
inline constexpr int kEditorFps = 60;
inline constexpr int kEditorWidth = 1968;
inline constexpr int kEditorHeight = 864;
inline constexpr float kEditorMinScale = 0.25f;
inline constexpr float kEditorMaxScale = 4.0f;
inline constexpr float kCornerResizerSize = 26.0f; // screen pixels

namespace GUI {

// The window sizes of the size menu.
enum GUISize : int {
  kSize50 = 0,
  kSize75 = 1,
  kSize100 = 2,
  kSize200 = 3,
  kSize400 = 4,
  kSize800 = 5,
};

struct SizeEntry {
  const char* text;
  float scale;
};

// A table, not a formula: 50 % and 75 % scale the 100 % window's sides, 200 % and 400 % double and
// quadruple its area, 800 % quadruples its sides. 200 % is the single-precision value nearest 1/√2.
inline constexpr std::array<SizeEntry, 6> kSizes = {{
  {"Set Windows Size to 50%", 0.25f},
  {"Set Windows Size to 75%", 0.375f},
  {"Set Windows Size to 100%", 0.5f},
  {"Set Windows Size to 200%", 0.70710677f},
  {"Set Windows Size to 400%", 1.0f},
  {"Set Windows Size to 800%", 2.0f},
}};

// The size's scale; 0 for a value outside the table.
inline float scaleOf(int size)
{
  return size >= 0 && size < static_cast<int>(kSizes.size()) ? kSizes[static_cast<std::size_t>(size)].scale : 0.0f;
}

} // namespace GUI

} // namespace quennet
