// SPDX-License-Identifier: ISC
#include "graphics/Font.h"

#include <cairo.h>
#include <stb_truetype.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "graphics/ReadFile.h"
#include "graphics/Utf8.h"

namespace plug::graphics {

namespace {

constexpr std::size_t kMaxFileBytes = 16u * 1024 * 1024;
constexpr float kMaxPixelSize = 1024.0f;
constexpr std::size_t kMaxCachedGlyphs = 4096;
constexpr std::size_t kMaxCachedGlyphBytes = 16u * 1024 * 1024; // A8 pixels, strides included

// The most points and components one glyph may expand to, composites flattened: the format's own
// limits (the maximum profile keeps both in 16 bits). stb_truetype copies a composite's outline
// once per component, and draws every point: beyond these, a damaged font could make one glyph cost
// minutes and gigabytes.
constexpr std::size_t kMaxGlyphPoints = 65535;
constexpr std::size_t kMaxGlyphComponents = 65535;
// Points stb_truetype copies to build one glyph: it appends each component to a fresh copy of the
// outline so far, so a composite of k components copies about k times its points. Fonts' composites
// have a handful of components (the editor's font copies at most 185 points for a glyph, the
// system's fonts 523); this allows 16 copies of the largest outline, where the two limits above
// alone would still allow 4 billion points copied (tens of gigabytes moved for one glyph).
constexpr std::size_t kMaxGlyphCopiedPoints = 16 * kMaxGlyphPoints;

std::uint32_t u16(const unsigned char* p)
{
  return static_cast<std::uint32_t>(p[0] << 8 | p[1]);
}
std::int32_t s16(const unsigned char* p)
{
  return static_cast<std::int16_t>(u16(p));
}
std::uint32_t u32(const unsigned char* p)
{
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
    static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

struct Table {
  std::size_t offset = 0;
  std::size_t length = 0;
};

// The structure stb_truetype relies on, checked against the file's size. `tables` gets the first
// record of each tag, as stb_truetype's own lookup finds them.
class TrueTypeCheck {
public:
  TrueTypeCheck(const unsigned char* data, std::size_t size) : d(data), n(size) {}

  bool run(std::string& error)
  {
    if (!directory(error) || !sizes(error) || !locations(error) || !metrics(error) || !cmap(error) ||
        !simpleGlyphs(error) || !composites(error))
      return false;
    return true;
  }

  bool gposUsable() const { return checkGpos(); }

private:
  bool fail(std::string& error, const char* what)
  {
    error = what;
    return false;
  }

  bool directory(std::string& error)
  {
    if (n < 12)
      return fail(error, "file too short for a font");
    const std::uint32_t version = u32(d);
    if (version != 0x00010000u && version != 0x74727565u) // TrueType outlines ("true" on old Macs)
      return fail(error, "not a TrueType font");
    const std::size_t numTables = u16(d + 4);
    if (12 + 16 * numTables > n)
      return fail(error, "damaged table directory");
    for (std::size_t i = 0; i < numTables; ++i) {
      const unsigned char* rec = d + 12 + 16 * i;
      const std::string tag(reinterpret_cast<const char*>(rec), 4);
      const std::size_t offset = u32(rec + 8);
      const std::size_t length = u32(rec + 12);
      if (offset > n || length > n - offset)
        return fail(error, "a table lies outside the file");
      tables.emplace(tag, Table{offset, length});
    }
    for (const char* tag : {"cmap", "head", "hhea", "hmtx", "loca", "glyf", "maxp"})
      if (!tables.count(tag))
        return fail(error, "a required table is missing");
    return true;
  }

  bool sizes(std::string& error)
  {
    if (tables["head"].length < 54 || tables["hhea"].length < 36 || tables["maxp"].length < 6 ||
        tables["cmap"].length < 4)
      return fail(error, "a required table is too short");
    locFormat = u16(d + tables["head"].offset + 50);
    numGlyphs = u16(d + tables["maxp"].offset + 4);
    if (locFormat > 1 || numGlyphs < 1)
      return fail(error, "damaged font header");
    return true;
  }

  bool locations(std::string& error)
  {
    const Table loca = tables["loca"];
    const Table glyf = tables["glyf"];
    const std::size_t entry = locFormat == 0 ? 2 : 4;
    if ((numGlyphs + 1) * entry > loca.length)
      return fail(error, "glyph locations table too short");
    glyphStart.resize(numGlyphs + 1);
    for (std::size_t i = 0; i <= numGlyphs; ++i) {
      const unsigned char* p = d + loca.offset + i * entry;
      const std::size_t off = locFormat == 0 ? std::size_t{u16(p)} * 2 : std::size_t{u32(p)};
      if (off > glyf.length || (i > 0 && off < glyphStart[i - 1]))
        return fail(error, "damaged glyph locations");
      glyphStart[i] = off;
    }
    return true;
  }

  bool metrics(std::string& error)
  {
    const std::size_t numHMetrics = u16(d + tables["hhea"].offset + 34);
    const std::size_t shortOnes = numGlyphs > numHMetrics ? numGlyphs - numHMetrics : 0;
    if (numHMetrics < 1 || 4 * numHMetrics + 2 * shortOnes > tables["hmtx"].length)
      return fail(error, "damaged horizontal metrics");
    return true;
  }

  bool cmap(std::string& error)
  {
    const Table t = tables["cmap"];
    const std::size_t count = u16(d + t.offset + 2);
    if (4 + 8 * count > t.length)
      return fail(error, "damaged character map");
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t off = u32(d + t.offset + 4 + 8 * i + 4);
      if (off > t.length || t.length - off < 4)
        return fail(error, "damaged character map");
      const unsigned char* sub = d + t.offset + off;
      const std::size_t room = t.length - off;
      const std::uint32_t format = u16(sub);
      if (format == 4 && (room < 16 || 16 + 4 * std::size_t{u16(sub + 6)} > room))
        return fail(error, "damaged character map");
      if ((format == 12 || format == 13) && (room < 16 || (room - 16) / 12 < u32(sub + 12)))
        return fail(error, "damaged character map");
    }
    return true;
  }

  // Simple glyphs: contour ends rising, flags and coordinates inside the glyph, and no contour that
  // starts on an off-curve last point (stb_truetype would then read one point past its own array).
  bool simpleGlyphs(std::string& error)
  {
    const std::size_t glyf = tables["glyf"].offset;
    glyphPoints.assign(numGlyphs, 0);
    for (std::size_t g = 0; g < numGlyphs; ++g) {
      const std::size_t start = glyphStart[g];
      const std::size_t end = glyphStart[g + 1];
      if (end - start < 10 || s16(d + glyf + start) <= 0)
        continue; // empty, composite (checked below) or too short (refused below)
      const std::size_t contours = static_cast<std::size_t>(s16(d + glyf + start));
      std::size_t p = start + 10;
      if (end - p < 2 * contours + 2)
        return fail(error, "damaged glyph");
      std::vector<std::size_t> contourStarts{0};
      std::size_t points = 0;
      for (std::size_t c = 0; c < contours; ++c) {
        const std::size_t last = u16(d + glyf + p + 2 * c);
        if (last + 1 <= points && c > 0)
          return fail(error, "damaged glyph");
        points = last + 1;
        if (c + 1 < contours)
          contourStarts.push_back(points);
      }
      p += 2 * contours;
      const std::size_t instructions = u16(d + glyf + p);
      p += 2;
      if (end - p < instructions)
        return fail(error, "damaged glyph");
      p += instructions;
      std::vector<std::uint8_t> flags;
      flags.reserve(points);
      std::size_t coordinateBytes = 0;
      while (flags.size() < points) {
        if (p >= end)
          return fail(error, "damaged glyph");
        const std::uint8_t flag = d[glyf + p++];
        std::size_t repeat = 1;
        if (flag & 8) {
          if (p >= end)
            return fail(error, "damaged glyph");
          repeat += d[glyf + p++];
        }
        const std::size_t bytesPerPoint = ((flag & 2)      ? 1
                                             : (flag & 16) ? 0
                                                           : 2) +
          ((flag & 4)      ? 1
             : (flag & 32) ? 0
                           : 2);
        for (std::size_t r = 0; r < repeat && flags.size() < points; ++r) {
          flags.push_back(flag);
          coordinateBytes += bytesPerPoint;
        }
      }
      if (end - p < coordinateBytes)
        return fail(error, "damaged glyph");
      for (const std::size_t first : contourStarts)
        if (first + 1 == points && !(flags[first] & 1))
          return fail(error, "damaged glyph");
      glyphPoints[g] = points;
    }
    return true;
  }

  // Composite glyphs: every component lies inside its glyph, names an existing glyph, gives its
  // offset as x/y values (the only form stb_truetype reads), no glyph contains itself, and none
  // expands to more points or components than the format allows.
  bool composites(std::string& error)
  {
    const std::size_t glyf = tables["glyf"].offset;
    std::vector<std::vector<std::uint32_t>> parts(numGlyphs);
    for (std::size_t g = 0; g < numGlyphs; ++g) {
      const std::size_t start = glyphStart[g];
      const std::size_t end = glyphStart[g + 1];
      if (end == start)
        continue;
      if (end - start < 10)
        return fail(error, "damaged glyph");
      if (s16(d + glyf + start) >= 0)
        continue;
      std::size_t p = start + 10;
      for (;;) {
        if (end - p < 4)
          return fail(error, "damaged composite glyph");
        const std::uint32_t flags = u16(d + glyf + p);
        const std::uint32_t component = u16(d + glyf + p + 2);
        if (component >= numGlyphs || component >= 0x8000 || !(flags & 2))
          return fail(error, "damaged composite glyph");
        p += 4 + ((flags & 1) ? 4 : 2);
        if (flags & 0x08)
          p += 2;
        else if (flags & 0x40)
          p += 4;
        else if (flags & 0x80)
          p += 8;
        if (p > end)
          return fail(error, "damaged composite glyph");
        parts[g].push_back(component);
        if (!(flags & 0x20))
          break;
      }
    }
    // Depth-first search for cycles; also bounds the nesting that stb_truetype recurses through.
    // A glyph is done once its components are: its expanded sizes are then their sums.
    std::vector<int> state(numGlyphs, 0); // 0 unseen, 1 on the path, 2 done
    std::vector<std::size_t> components(numGlyphs, 0);
    std::vector<std::size_t> copied(numGlyphs, 0);
    std::vector<std::pair<std::uint32_t, std::size_t>> stack;
    for (std::uint32_t root = 0; root < numGlyphs; ++root) {
      if (state[root] || parts[root].empty())
        continue;
      stack.assign(1, {root, 0});
      state[root] = 1;
      while (!stack.empty()) {
        auto& [g, next] = stack.back();
        if (next == parts[g].size()) {
          state[g] = 2;
          std::size_t points = 0;
          std::size_t count = parts[g].size();
          std::size_t copies = 0;
          for (const std::uint32_t c : parts[g]) { // each at most the limits: no overflow
            points += glyphPoints[c];
            count += components[c];
            copies += copied[c] + points;
            if (points > kMaxGlyphPoints || count > kMaxGlyphComponents || copies > kMaxGlyphCopiedPoints)
              return fail(error, "composite glyph too complex");
          }
          glyphPoints[g] = points;
          components[g] = count;
          copied[g] = copies;
          stack.pop_back();
          continue;
        }
        const std::uint32_t c = parts[g][next++];
        if (state[c] == 1 || stack.size() > 16)
          return fail(error, "damaged composite glyph");
        if (state[c] == 0) {
          state[c] = 1;
          stack.push_back({c, 0});
        }
      }
    }
    return true;
  }

  // Pair adjustment by classes reads record class1 × class2Count of a table sized by the font:
  // every such subtable that stb_truetype would read must hold all its records.
  bool checkGpos() const
  {
    const auto it = tables.find("GPOS");
    if (it == tables.end())
      return true;
    const std::size_t base = it->second.offset;
    const std::size_t len = it->second.length;
    auto in = [&](std::size_t off, std::size_t bytes) { return off <= len && bytes <= len - off; };
    if (!in(0, 10) || u16(d + base) != 1 || u16(d + base + 2) != 0)
      return true; // stb_truetype ignores other versions
    const std::size_t list = u16(d + base + 8);
    if (!in(list, 2))
      return false;
    const std::size_t lookups = u16(d + base + list);
    if (!in(list + 2, 2 * lookups))
      return false;
    for (std::size_t i = 0; i < lookups; ++i) {
      const std::size_t lookup = list + u16(d + base + list + 2 + 2 * i);
      if (!in(lookup, 6))
        return false;
      if (u16(d + base + lookup) != 2)
        continue;
      const std::size_t subtables = u16(d + base + lookup + 4);
      if (!in(lookup + 6, 2 * subtables))
        return false;
      for (std::size_t s = 0; s < subtables; ++s) {
        const std::size_t table = lookup + u16(d + base + lookup + 6 + 2 * s);
        if (!in(table, 2))
          return false;
        if (u16(d + base + table) != 2)
          continue;
        if (!in(table, 16))
          return false;
        const std::size_t class1 = u16(d + base + table + 12);
        const std::size_t class2 = u16(d + base + table + 14);
        if (!in(table + 16, 2 * class1 * class2))
          return false;
      }
    }
    return true;
  }

  const unsigned char* d;
  std::size_t n;
  std::map<std::string, Table> tables;
  std::uint32_t locFormat = 0;
  std::size_t numGlyphs = 0;
  std::vector<std::size_t> glyphStart; // offsets into glyf, numGlyphs + 1
  std::vector<std::size_t> glyphPoints; // outline points, composites expanded
};

// Every point of the outline within the glyph's declared box widened by its size on each side.
// The box bounds the image; points far outside it would only be clipped away, but each curve through
// them is cut into more segments the farther it reaches (up to 65536), which a damaged glyph could
// use to make one glyph cost seconds and gigabytes. A sound font's points all lie in its box.
bool outlineNearItsBox(const stbtt_fontinfo& info, int glyph, const stbtt_vertex* outline, int points)
{
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  if (!outline || points <= 0 || !stbtt_GetGlyphBox(&info, glyph, &x0, &y0, &x1, &y1))
    return false;
  const int slack = std::max(x1 - x0, y1 - y0);
  auto near = [&](int x, int y) { return x >= x0 - slack && x <= x1 + slack && y >= y0 - slack && y <= y1 + slack; };
  for (int i = 0; i < points; ++i) {
    const stbtt_vertex& v = outline[i];
    if (!near(v.x, v.y) || (v.type == STBTT_vcurve && !near(v.cx, v.cy)) ||
        (v.type == STBTT_vcubic && (!near(v.cx, v.cy) || !near(v.cx1, v.cy1))))
      return false;
  }
  return true;
}

} // namespace

Font::~Font()
{
  for (auto& [key, glyph] : mGlyphs)
    if (glyph.surface)
      cairo_surface_destroy(glyph.surface);
}

std::unique_ptr<Font> Font::Load(const std::string& path, std::string* error)
{
  std::vector<unsigned char> bytes;
  std::string reason;
  if (!readFile(path, kMaxFileBytes, bytes, reason)) {
    if (error)
      *error = reason;
    return nullptr;
  }
  return FromBytes(std::move(bytes), error);
}

std::unique_ptr<Font> Font::FromBytes(std::vector<unsigned char> bytes, std::string* error)
{
  const std::size_t fileSize = bytes.size();
  if (fileSize > kMaxFileBytes) {
    if (error)
      *error = "file too large for a font";
    return nullptr;
  }
  std::unique_ptr<Font> font(new Font());
  font->mOwnedData = std::move(bytes);
  font->mOwnedData.resize(fileSize + kMarginBytes, 0);
  if (!font->init(font->mOwnedData.data(), fileSize, error))
    return nullptr;
  return font;
}

std::unique_ptr<Font> Font::FromPaddedBytes(std::span<const unsigned char> padded, std::size_t fileSize,
                                            std::string* error)
{
  if (fileSize > kMaxFileBytes || padded.size() < fileSize || padded.size() - fileSize < kMarginBytes) {
    if (error)
      *error = fileSize > kMaxFileBytes ? "file too large for a font" : "no room for the margin after the font";
    return nullptr;
  }
  std::unique_ptr<Font> font(new Font());
  if (!font->init(padded.data(), fileSize, error))
    return nullptr;
  return font;
}

// `data` holds the file's `size` bytes, then kMarginBytes zeroes.
bool Font::init(const unsigned char* data, std::size_t size, std::string* error)
{
  mData = data;
  std::string reason;
  TrueTypeCheck check(mData, size);
  if (check.run(reason)) {
    mInfo = std::make_unique<stbtt_fontinfo>();
    if (!stbtt_InitFont(mInfo.get(), const_cast<unsigned char*>(mData), 0)) { // stb only reads it
      reason = "no usable character map";
    } else {
      if (!check.gposUsable())
        mInfo->gpos = 0; // damaged kerning: draw without it
      int lineGap = 0;
      stbtt_GetFontVMetrics(mInfo.get(), &mAscent, &mDescent, &lineGap);
      mDescent = -mDescent;
      int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
      const int h = glyphFor('H');
      mCapHeight = h && stbtt_GetGlyphBox(mInfo.get(), h, &x0, &y0, &x1, &y1) ? y1 : mAscent * 7 / 10;
      mEllipsisGlyph = glyphFor(0x2026);
      // Units per em outside what fonts may declare (16 ... 16384) make the scale so large that
      // glyph boxes no longer fit an int.
      const float perEm = stbtt_ScaleForMappingEmToPixels(mInfo.get(), 1.0f);
      if (!(perEm >= 1.0f / 16384.0f && perEm <= 1.0f / 16.0f))
        reason = "damaged units per em";
      else if (mAscent > 0)
        return true;
      else
        reason = "damaged vertical metrics";
    }
  }
  if (error)
    *error = reason;
  return false;
}

float Font::scaleFor(float px) const
{
  return stbtt_ScaleForMappingEmToPixels(mInfo.get(), std::clamp(px, 0.0f, kMaxPixelSize));
}

float Font::Ascent(float px) const
{
  return static_cast<float>(mAscent) * scaleFor(px);
}
float Font::Descent(float px) const
{
  return static_cast<float>(mDescent) * scaleFor(px);
}
float Font::CapHeight(float px) const
{
  return static_cast<float>(mCapHeight) * scaleFor(px);
}

// A damaged character map may name glyphs the font does not have (even negative ones): those
// become glyph 0, the font's "missing character" box.
int Font::glyphFor(char32_t codepoint) const
{
  const int glyph = stbtt_FindGlyphIndex(mInfo.get(), static_cast<int>(codepoint));
  return glyph > 0 && glyph < mInfo->numGlyphs ? glyph : 0;
}

std::vector<int> Font::glyphsOf(std::string_view text) const
{
  std::vector<int> glyphs;
  forEachCodepoint(text, [&](char32_t c, std::size_t) { glyphs.push_back(glyphFor(c)); });
  return glyphs;
}

float Font::MeasureText(std::string_view text, float px) const
{
  const std::vector<int> glyphs = glyphsOf(text);
  int units = 0;
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(mInfo.get(), glyphs[i], &advance, &bearing);
    units += advance;
    if (i + 1 < glyphs.size())
      units += stbtt_GetGlyphKernAdvance(mInfo.get(), glyphs[i], glyphs[i + 1]);
  }
  return static_cast<float>(units) * scaleFor(px);
}

std::string Font::FitText(std::string_view text, float px, float maxWidth) const
{
  if (MeasureText(text, px) <= maxWidth)
    return std::string(text);
  const std::string ellipsis = mEllipsisGlyph ? "\xE2\x80\xA6" : "...";
  // Drop whole characters from the end until the rest and the ellipsis fit.
  std::vector<std::size_t> ends; // byte offsets after each character
  std::size_t pos = 0;
  forEachCodepoint(text, [&](char32_t, std::size_t bytes) {
    pos += bytes;
    ends.push_back(pos);
  });
  for (std::size_t k = ends.size(); k-- > 0;) {
    std::string candidate(text.substr(0, ends[k]));
    while (!candidate.empty() && candidate.back() == ' ')
      candidate.pop_back();
    candidate += ellipsis;
    if (MeasureText(candidate, px) <= maxWidth)
      return candidate;
  }
  return MeasureText(ellipsis, px) <= maxWidth ? ellipsis : std::string();
}

const Font::Glyph& Font::glyphImage(int glyph, float px, int quarter) const
{
  const std::uint64_t sizeKey = static_cast<std::uint64_t>(std::lround(px * 16.0f));
  const std::uint64_t key =
    static_cast<std::uint64_t>(glyph) | sizeKey << 16 | static_cast<std::uint64_t>(quarter) << 40;
  if (auto it = mGlyphs.find(key); it != mGlyphs.end())
    return it->second;
  if (mGlyphs.size() >= kMaxCachedGlyphs || mGlyphBytes >= kMaxCachedGlyphBytes) {
    for (auto& [k, g] : mGlyphs)
      if (g.surface)
        cairo_surface_destroy(g.surface);
    mGlyphs.clear();
    mGlyphBytes = 0;
  }

  Glyph result;
  const float scale = scaleFor(px);
  const float shift = 0.25f * static_cast<float>(quarter);
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  stbtt_GetGlyphBitmapBoxSubpixel(mInfo.get(), glyph, scale, scale, shift, 0.0f, &x0, &y0, &x1, &y1);
  const int w = x1 - x0;
  const int h = y1 - y0;
  // A damaged glyph box must not ask for an absurd image.
  const int limit = static_cast<int>(4.0f * px) + 8;
  if (w > 0 && h > 0 && w <= limit && h <= limit) {
    stbtt_vertex* outline = nullptr;
    const int points = stbtt_GetGlyphShape(mInfo.get(), glyph, &outline);
    cairo_surface_t* s = nullptr;
    if (outlineNearItsBox(*mInfo, glyph, outline, points))
      s = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
    if (s && cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
      cairo_surface_flush(s);
      stbtt__bitmap bitmap;
      bitmap.w = w;
      bitmap.h = h;
      bitmap.stride = cairo_image_surface_get_stride(s);
      bitmap.pixels = cairo_image_surface_get_data(s);
      const std::size_t bytes = static_cast<std::size_t>(bitmap.stride) * static_cast<std::size_t>(h);
      std::memset(bitmap.pixels, 0, bytes);
      // What stbtt_MakeGlyphBitmapSubpixel does, with the outline checked in between.
      stbtt_Rasterize(&bitmap, 0.35f, outline, points, scale, scale, shift, 0.0f, x0, y0, 1, nullptr);
      cairo_surface_mark_dirty(s);
      result.surface = s;
      result.x0 = x0;
      result.y0 = y0;
      mGlyphBytes += bytes;
    } else if (s) {
      cairo_surface_destroy(s);
    }
    stbtt_FreeShape(mInfo.get(), outline);
  }
  return mGlyphs.emplace(key, result).first->second;
}

void Font::DrawText(cairo_t* cr, std::string_view text, float x, float y, float px) const
{
  if (!(px > 0.5f))
    return;
  px = std::min(px, kMaxPixelSize);
  const float scale = scaleFor(px);
  const double baseline = std::round(y);
  const std::vector<int> glyphs = glyphsOf(text);
  float pen = x;
  for (std::size_t i = 0; i < glyphs.size(); ++i) {
    const float whole = std::floor(pen);
    int quarter = static_cast<int>(std::lround((pen - whole) * 4.0f));
    float origin = whole;
    if (quarter == 4) {
      quarter = 0;
      origin += 1.0f;
    }
    const Glyph& g = glyphImage(glyphs[i], px, quarter);
    if (g.surface)
      cairo_mask_surface(cr, g.surface, origin + static_cast<float>(g.x0), baseline + g.y0);
    int advance = 0, bearing = 0;
    stbtt_GetGlyphHMetrics(mInfo.get(), glyphs[i], &advance, &bearing);
    pen += static_cast<float>(advance) * scale;
    if (i + 1 < glyphs.size())
      pen += static_cast<float>(stbtt_GetGlyphKernAdvance(mInfo.get(), glyphs[i], glyphs[i + 1])) * scale;
  }
}

} // namespace plug::graphics
