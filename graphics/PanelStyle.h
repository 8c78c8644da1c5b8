// SPDX-License-Identifier: ISC
#pragma once

#include <algorithm>

#include "graphics/IGraphicsTypes.h"

// Look of the pop-up menus and message boxes the context draws over the editor. They are drawn in
// screen pixels, not design units, so their text stays readable however small the editor is.

namespace plug::graphics::panel {

// Text size in pixels for a draw scale: follows the editor's size between a readable minimum and a
// comfortable maximum.
constexpr float kMinTextPx = 12.0f;
constexpr float kMaxTextPx = 20.0f;
inline float textPx(float drawScale)
{
  return std::clamp(26.0f * drawScale, kMinTextPx, kMaxTextPx);
}

// Gap kept between a panel and the window's edges, pixels.
constexpr int kWindowMargin = 4;

inline const IColor kMenuBackground{255, 250, 250, 248};
inline const IColor kMenuBorder{70, 0, 0, 0};
inline const IColor kShadow{40, 0, 0, 0};
inline const IColor kText{255, 32, 32, 32};
inline const IColor kHighlight{255, 44, 110, 213};
inline const IColor kHighlightText{255, 255, 255, 255};
inline const IColor kSeparator{255, 214, 214, 210};

inline const IColor kDim{115, 0, 0, 0};
inline const IColor kBoxBackground{255, 247, 247, 245};
inline const IColor kCaption{255, 17, 17, 17};
inline const IColor kBodyText{255, 51, 51, 51};
inline const IColor kButton{255, 228, 228, 224};
inline const IColor kButtonHover{255, 214, 214, 209};
inline const IColor kButtonBorder{255, 184, 184, 178};
inline const IColor kDefaultButton{255, 44, 110, 213};
inline const IColor kDefaultButtonHover{255, 30, 92, 190};

} // namespace plug::graphics::panel
