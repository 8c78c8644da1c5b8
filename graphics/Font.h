// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;
struct stbtt_fontinfo;

namespace plug::graphics {

// A TrueType font rasterised with stb_truetype: text measured and drawn in pixels, with the font's
// pair kerning and quarter-pixel horizontal positioning. Glyph images are cached per size.
//
// Fonts come from files shipped with the plug-in, but a damaged file must not take the host down:
// the file's tables are checked before stb_truetype sees them (stb_truetype itself trusts its
// input), and the data is followed by a zeroed margin larger than any single read can reach from a
// checked offset. What one glyph may cost is bounded as well: a font whose glyph would expand to
// more points or components than the format allows is refused, an outline that strays far outside
// its glyph's box is not rasterised, and the glyph cache holds a bounded number of pixels.
//
// User-interface thread only (the glyph cache is not locked).
class Font {
public:
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;

  // Null, and a one-line reason in `error`, when the file cannot be read or is no usable TrueType
  // font.
  static std::unique_ptr<Font> Load(const std::string& path, std::string* error = nullptr);
  static std::unique_ptr<Font> FromBytes(std::vector<unsigned char> bytes, std::string* error = nullptr);

  // Zeroes that must follow a font's data. From an offset inside the file, stb_truetype reads at
  // most a few 16-bit offsets and counts further: a glyph's outline (under 0.5 MB for 65535 points),
  // cmap, kern and GPOS searches (under 0.4 MB). Unbounded products of counts are checked before use.
  static constexpr std::size_t kMarginBytes = 1024u * 1024;
  // A font over bytes the caller owns and leaves unchanged while the font lives: the file's
  // `fileSize` bytes, then kMarginBytes zeroes. For a caller that loads many fonts one after another
  // (the font fuzz target), which would otherwise allocate and clear a margin for each.
  static std::unique_ptr<Font> FromPaddedBytes(std::span<const unsigned char> padded, std::size_t fileSize,
                                               std::string* error = nullptr);

  // Metrics for text whose em is `px` pixels high; ascent and descent are both positive.
  float Ascent(float px) const;
  float Descent(float px) const;
  float CapHeight(float px) const;

  // Advance width of UTF-8 text, kerning included. Invalid bytes count as U+FFFD.
  float MeasureText(std::string_view text, float px) const;
  // The text shortened with "…" (or "..." without that glyph) to fit `maxWidth` pixels.
  std::string FitText(std::string_view text, float px, float maxWidth) const;
  // Draws with the source and operator set on `cr`, whose user space must be pixels; (x, y) is the
  // left end of the baseline. The baseline is put on a whole pixel row.
  void DrawText(cairo_t* cr, std::string_view text, float x, float y, float px) const;

private:
  struct Glyph {
    cairo_surface_t* surface = nullptr; // A8 coverage; null for a blank glyph
    int x0 = 0; // offset of the image from the pen position, pixels
    int y0 = 0;
  };

  Font() = default;
  bool init(const unsigned char* data, std::size_t fileSize, std::string* error);
  float scaleFor(float px) const;
  const Glyph& glyphImage(int glyph, float px, int quarter) const;
  int glyphFor(char32_t codepoint) const;
  std::vector<int> glyphsOf(std::string_view text) const;

  std::vector<unsigned char> mOwnedData; // the file, then the zeroed margin; empty for padded bytes
  const unsigned char* mData = nullptr; // the file, then the zeroed margin
  std::unique_ptr<stbtt_fontinfo> mInfo;
  int mAscent = 0; // font units
  int mDescent = 0;
  int mCapHeight = 0;
  int mEllipsisGlyph = 0;
  mutable std::unordered_map<std::uint64_t, Glyph> mGlyphs;
  mutable std::size_t mGlyphBytes = 0; // pixel bytes of the cached images
};

} // namespace plug::graphics
