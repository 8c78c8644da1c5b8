// SPDX-License-Identifier: ISC
// Damaged copies of a TrueType font through the font loader, then measuring, shortening and drawing
// a few characters. A font must be refused or work without reading outside its data and margin.
//
// The font is the editor's "Roboto-Bold.ttf" cut down at build time to printable ASCII, a few
// composite letters and "…" (make_fuzz_font.py: 11 KB, 105 glyphs, the same kinds of tables and
// maps): loading checks every glyph, so the full font's 3359 glyphs cost a millisecond per input,
// and most edits then fell on glyphs never drawn. The font is not copied into the corpus.
//
// Input: byte 0 is the size in quarter pixels (0 ... 63.75 px); byte 1 holds the text's length in
// bytes less one (bits 0-2, so 1 ... 8), the pen's quarter-pixel offset (bits 3-4) and the width
// the text is shortened to, in eighths of its own (bits 5-7); then the
// text's bytes (any bytes: invalid UTF-8 becomes U+FFFD); then edits of 5 bytes each, a 32-bit
// offset (taken modulo the font's size, or within its first 512 bytes, where the table directory
// and the font's header tables lie, when its top bit is set) and the byte to put there. When 4
// bytes are left over, the last cuts the font to that many 256ths of its size.
//
// What one input may cost is bounded: at most 8 characters and below 64 px. Larger sizes only
// scale the same outline reads (which bytes stb_truetype reads depends on the glyph, not on the
// size), and the loader's own bounds on one glyph's cost hold at every size; the editor draws its
// texts between 13 and 40 px at scale 1. Longer texts only repeat what a text of 8 bytes reaches:
// kerning is between neighbours, and the glyph cache of one load is never full.

#include <cairo.h>
#include <sanitizer/asan_interface.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graphics/Font.h"

namespace {

using plug::graphics::Font;

const std::vector<unsigned char>& fuzzFont()
{
  static const std::vector<unsigned char> bytes = [] {
    std::ifstream in(QUENNET_FUZZ_FONT, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
  }();
  if (bytes.empty())
    std::abort(); // the build's cut-down font is missing
  return bytes;
}

// The font's bytes, then the zeroed margin the loader needs: allocated and cleared once, where a
// font loaded from a vector of its own would allocate and clear the megabyte of margin per input.
std::vector<unsigned char>& paddedCopy()
{
  static std::vector<unsigned char> padded(fuzzFont().size() + Font::kMarginBytes, 0);
  return padded;
}

cairo_surface_t* canvas()
{
  static cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 640, 96);
  return surface;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size < 2)
    return 0;
  const float px = static_cast<float>(data[0]) / 4.0f;
  const std::size_t textBytes = std::min<std::size_t>((data[1] & 7u) + 1, size - 2);
  const float penX = 4.0f + static_cast<float>((data[1] >> 3) & 3u) / 4.0f;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), textBytes);
  const std::uint8_t* edits = data + 2 + textBytes;
  const std::size_t editBytes = size - 2 - textBytes;

  const std::vector<unsigned char>& original = fuzzFont();
  std::vector<unsigned char>& padded = paddedCopy();
  const std::size_t fontSize = original.size();
  std::memcpy(padded.data(), original.data(), fontSize);
  for (std::size_t i = 0; i + 5 <= editBytes; i += 5) {
    const std::uint32_t where = static_cast<std::uint32_t>(edits[i]) << 24 |
      static_cast<std::uint32_t>(edits[i + 1]) << 16 | static_cast<std::uint32_t>(edits[i + 2]) << 8 | edits[i + 3];
    const std::size_t offset = (where & 0x80000000u) ? (where & 0x1FFu) % fontSize : where % fontSize;
    padded[offset] = edits[i + 4];
  }
  std::size_t kept = fontSize;
  if (editBytes % 5 == 4)
    kept = fontSize * edits[editBytes - 1] / 256;
  // A cut font: its margin starts at the cut, and the bytes beyond the margin are out of bounds.
  std::memset(padded.data() + kept, 0, fontSize - kept);
  unsigned char* const beyond = padded.data() + kept + Font::kMarginBytes;
  ASAN_POISON_MEMORY_REGION(beyond, fontSize - kept);

  auto font = Font::FromPaddedBytes(std::span<const unsigned char>(padded.data(), kept + Font::kMarginBytes), kept);
  if (font) {
    const float width = font->MeasureText(text, px);
    if (!std::isfinite(width))
      std::abort();
    const float maxWidth = width * static_cast<float>(data[1] >> 5) / 8.0f; // 0 ... 7/8 of it
    const std::string fitted = font->FitText(text, px, maxWidth);
    if (!fitted.empty() && !(font->MeasureText(fitted, px) <= maxWidth))
      std::abort();
    cairo_t* cr = cairo_create(canvas());
    cairo_set_source_rgb(cr, 0, 0, 0);
    font->DrawText(cr, text, penX, 72, px);
    cairo_destroy(cr);
  }
  font.reset();
  ASAN_UNPOISON_MEMORY_REGION(beyond, fontSize - kept);
  return 0;
}
