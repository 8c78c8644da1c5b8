#pragma once

#include <cstdint>
#include <memory>
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
// checked offset.
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
    cairo_surface_t* surface = nullptr;  // A8 coverage; null for a blank glyph
    int x0 = 0;                          // offset of the image from the pen position, pixels
    int y0 = 0;
  };

  Font() = default;
  bool init(std::string* error);
  float scaleFor(float px) const;
  const Glyph& glyphImage(int glyph, float px, int quarter) const;
  int glyphFor(char32_t codepoint) const;
  std::vector<int> glyphsOf(std::string_view text) const;

  std::vector<unsigned char> mData;  // the file, then the zeroed margin
  std::unique_ptr<stbtt_fontinfo> mInfo;
  int mAscent = 0;  // font units
  int mDescent = 0;
  int mCapHeight = 0;
  int mEllipsisGlyph = 0;
  mutable std::unordered_map<std::uint64_t, Glyph> mGlyphs;
};

} // namespace plug::graphics
