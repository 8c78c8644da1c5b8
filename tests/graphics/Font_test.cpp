// SPDX-License-Identifier: ISC
// The TrueType font: metrics and kerning of the bundled Roboto Bold, shortening, and damaged files,
// which must be refused (or lose only their kerning) without reading outside the data.

#include "graphics/Font.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "TempDir.h"

using plug::graphics::Font;

namespace {

const std::string kRoboto = std::string(QUENNET_TEST_RESOURCES) + "/Roboto-Bold.ttf";

std::vector<unsigned char> robotoBytes()
{
  std::ifstream in(kRoboto, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// Reading and patching a TrueType file, written here from the format's definition.
struct Ttf {
  std::vector<unsigned char> d;

  std::uint32_t u16(std::size_t o) const { return static_cast<std::uint32_t>(d[o] << 8 | d[o + 1]); }
  std::uint32_t u32(std::size_t o) const { return u16(o) << 16 | u16(o + 2); }
  void put16(std::size_t o, std::uint32_t v)
  {
    d[o] = static_cast<unsigned char>(v >> 8);
    d[o + 1] = static_cast<unsigned char>(v);
  }
  void put32(std::size_t o, std::uint32_t v)
  {
    put16(o, v >> 16);
    put16(o + 2, v & 0xFFFF);
  }
  // Offset of the table record for a tag (0: none).
  std::size_t record(const char* tag) const
  {
    for (std::size_t i = 0; i < u16(4); ++i)
      if (std::memcmp(&d[12 + 16 * i], tag, 4) == 0)
        return 12 + 16 * i;
    return 0;
  }
  std::size_t table(const char* tag) const { return u32(record(tag) + 8); }
  std::size_t glyphCount() const { return u16(table("maxp") + 4); }
  bool longLoca() const { return u16(table("head") + 50) == 1; }
  std::size_t glyphOffset(std::size_t g) const
  {
    const std::size_t loca = table("loca");
    return table("glyf") + (longLoca() ? u32(loca + 4 * g) : 2 * u16(loca + 2 * g));
  }
  bool isComposite(std::size_t g) const
  {
    return glyphOffset(g + 1) > glyphOffset(g) && static_cast<std::int16_t>(u16(glyphOffset(g))) < 0;
  }
  bool isSimple(std::size_t g) const
  {
    return glyphOffset(g + 1) > glyphOffset(g) && static_cast<std::int16_t>(u16(glyphOffset(g))) > 0;
  }
  // Offsets of the glyph numbers of a composite glyph's components.
  std::vector<std::size_t> componentGlyphNumbers(std::size_t g) const
  {
    std::vector<std::size_t> result;
    std::size_t p = glyphOffset(g) + 10;
    for (bool more = true; more;) {
      const std::uint32_t flags = u16(p);
      result.push_back(p + 2);
      p += 4 + ((flags & 1) ? 4 : 2) + ((flags & 0x08) ? 2 : (flags & 0x40) ? 4 : (flags & 0x80) ? 8 : 0);
      more = flags & 0x20;
    }
    return result;
  }
};

// The first class-based pair adjustment subtable of the GPOS table, or 0.
std::size_t classPairSubtable(const Ttf& f)
{
  const std::size_t gpos = f.table("GPOS");
  const std::size_t list = gpos + f.u16(gpos + 8);
  for (std::size_t i = 0; i < f.u16(list); ++i) {
    const std::size_t lookup = list + f.u16(list + 2 + 2 * i);
    if (f.u16(lookup) != 2)
      continue;
    for (std::size_t s = 0; s < f.u16(lookup + 4); ++s) {
      const std::size_t sub = lookup + f.u16(lookup + 6 + 2 * s);
      if (f.u16(sub) == 2)
        return sub;
    }
  }
  return 0;
}

void render(const Font& font, const char* text)
{
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 300, 60);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 0, 0, 0);
  font.DrawText(cr, text, 5, 40, 24);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
}

} // namespace

TEST(Font, RobotoBoldMetricsAndKerning)
{
  std::string error;
  auto font = Font::Load(kRoboto, &error);
  ASSERT_NE(font, nullptr) << error;
  // Roboto's em is 2048 units: cap height 1456, ascender 1900, descender 500.
  EXPECT_NEAR(font->CapHeight(40), 40.0 * 1456 / 2048, 1e-3);
  EXPECT_NEAR(font->Ascent(40), 40.0 * 1900 / 2048, 1e-3);
  EXPECT_NEAR(font->Descent(40), 40.0 * 500 / 2048, 1e-3);
  // "A" then "V" kerned together by −77 units (from the GPOS table): −38.5 pixels at 1024.
  const float apart = font->MeasureText("A", 1024) + font->MeasureText("V", 1024);
  EXPECT_NEAR(font->MeasureText("AV", 1024), apart - 38.5f, 0.01f);
  EXPECT_EQ(font->MeasureText("", 20), 0.0f);
}

TEST(Font, FitTextShortensWithAnEllipsis)
{
  auto font = Font::Load(kRoboto);
  ASSERT_NE(font, nullptr);
  const std::string text = "Reset Current Preset";
  const float full = font->MeasureText(text, 14);
  EXPECT_EQ(font->FitText(text, 14, full + 1), text);
  const std::string fitted = font->FitText(text, 14, full / 2);
  EXPECT_LE(font->MeasureText(fitted, 14), full / 2);
  ASSERT_GE(fitted.size(), 4u);
  EXPECT_EQ(fitted.substr(fitted.size() - 3), "\xE2\x80\xA6");
  EXPECT_EQ(fitted.substr(0, 5), "Reset");
  EXPECT_EQ(font->FitText(text, 14, 1), "");
}

TEST(Font, DamagedUtf8IsDrawnAsReplacementCharacters)
{
  auto font = Font::Load(kRoboto);
  ASSERT_NE(font, nullptr);
  EXPECT_GT(font->MeasureText("caf\xC3\xA9", 20), font->MeasureText("caf", 20));
  for (const char* bad : {"\xFF\xFE", "\xC3", "\xE2\x82", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80z"}) {
    EXPECT_GT(font->MeasureText(bad, 20), 0.0f);
    render(*font, bad);
  }
}

TEST(Font, DamagedFilesAreRefusedWithAReason)
{
  const Ttf good{robotoBytes()};
  ASSERT_GT(good.d.size(), 100000u);
  std::size_t composite = 0;
  while (composite < good.glyphCount() && !good.isComposite(composite))
    ++composite;
  ASSERT_LT(composite, good.glyphCount()) << "Roboto has composite glyphs";

  struct Case {
    const char* name;
    std::function<void(Ttf&)> damage;
  };
  const std::vector<Case> cases = {
    {"empty", [](Ttf& f) { f.d.clear(); }},
    {"not a font", [](Ttf& f) { f.d.assign(1000, 'x'); }},
    {"cut after the header", [](Ttf& f) { f.d.resize(40); }},
    {"cut in half", [](Ttf& f) { f.d.resize(f.d.size() / 2); }},
    {"a CFF font", [](Ttf& f) { std::memcpy(f.d.data(), "OTTO", 4); }},
    {"a table beyond the end", [](Ttf& f) { f.put32(f.record("hmtx") + 8, static_cast<std::uint32_t>(f.d.size())); }},
    {"too many tables", [](Ttf& f) { f.put16(4, 0xFFFF); }},
    {"no character map", [](Ttf& f) { std::memcpy(&f.d[f.record("cmap")], "xxxx", 4); }},
    {"glyph locations beyond the glyphs", [](Ttf& f) { f.put32(f.record("glyf") + 12, 100); }},
    {"more glyphs than locations", [](Ttf& f) { f.put16(f.table("maxp") + 4, 0xFFFF); }},
    {"more metrics than the table holds", [](Ttf& f) { f.put16(f.table("hhea") + 34, 0xFFFF); }},
    {"a composite glyph that contains itself",
     [composite](Ttf& f) { f.put16(f.glyphOffset(composite) + 12, static_cast<std::uint32_t>(composite)); }},
    {"a composite naming a glyph that does not exist",
     [](Ttf& f) {
       std::size_t g = 0;
       while (!f.isComposite(g))
         ++g;
       f.put16(f.glyphOffset(g) + 12, 0xFFF0);
     }},
    {"no units per em", [](Ttf& f) { f.put16(f.table("head") + 18, 0); }},
    {"one unit per em", [](Ttf& f) { f.put16(f.table("head") + 18, 1); }},
    {"a character map subtable beyond its table", [](Ttf& f) { f.put32(f.table("cmap") + 4 + 4, 0x7FFFFFF0u); }},
    {"composites of composites expanding to more points than a glyph may have",
     [](Ttf& f) {
       // Sixteen composites of two or more components, each naming the one before it for every
       // component, the first naming a simple glyph: 2^15 copies of that glyph's points at least.
       std::size_t simple = 0;
       while (!f.isSimple(simple))
         ++simple;
       std::size_t previous = simple;
       int chained = 0;
       for (std::size_t g = 0; g < f.glyphCount() && chained < 16; ++g) {
         if (!f.isComposite(g) || f.componentGlyphNumbers(g).size() < 2)
           continue;
         for (const std::size_t at : f.componentGlyphNumbers(g))
           f.put16(at, static_cast<std::uint32_t>(previous));
         previous = g;
         ++chained;
       }
       ASSERT_EQ(chained, 16) << "Roboto has enough composites of two components";
     }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Ttf damaged = good;
    c.damage(damaged);
    std::string error;
    auto font = Font::FromBytes(damaged.d, &error);
    EXPECT_EQ(font, nullptr);
    EXPECT_FALSE(error.empty());
  }
}

TEST(Font, ADamagedKerningTableOnlyLosesTheKerning)
{
  Ttf f{robotoBytes()};
  const std::size_t sub = classPairSubtable(f);
  ASSERT_NE(sub, 0u) << "Roboto kerns by classes";
  // Class counts whose product reaches far beyond the table.
  f.put16(sub + 12, 0xFFFF);
  f.put16(sub + 14, 0xFFFF);
  std::string error;
  auto font = Font::FromBytes(f.d, &error);
  ASSERT_NE(font, nullptr) << error;
  EXPECT_FLOAT_EQ(font->MeasureText("AV", 1024), font->MeasureText("A", 1024) + font->MeasureText("V", 1024));
  render(*font, "AVATAR Ty");
}

// Points far outside their glyph's box would be cut away from the image anyway, but every curve
// through them is cut into more segments the farther they lie: such a glyph is not drawn at all.
TEST(Font, AnOutlineFarOutsideItsGlyphsBoxIsNotDrawn)
{
  Ttf f{robotoBytes()};
  // Every simple glyph's box shrunk to the lower left sixteenth of it: its points then reach more
  // than the box's size beyond it, while the box still covers ink of most letters.
  for (std::size_t g = 0; g < f.glyphCount(); ++g) {
    if (!f.isSimple(g))
      continue;
    const std::size_t box = f.glyphOffset(g) + 2;
    auto s16 = [&](std::size_t o) { return static_cast<std::int16_t>(f.u16(o)); };
    const int xMin = s16(box), yMin = s16(box + 2), xMax = s16(box + 4), yMax = s16(box + 6);
    f.put16(box + 4, static_cast<std::uint16_t>(xMin + (xMax - xMin) / 4));
    f.put16(box + 6, static_cast<std::uint16_t>(yMin + (yMax - yMin) / 4));
  }
  std::string error;
  auto font = Font::FromBytes(f.d, &error);
  ASSERT_NE(font, nullptr) << error;
  auto good = Font::Load(kRoboto);
  ASSERT_NE(good, nullptr);
  EXPECT_FLOAT_EQ(font->MeasureText("Quennet", 24), good->MeasureText("Quennet", 24)) << "advances stay";

  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 300, 60);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 0, 0, 0);
  font->DrawText(cr, "Quennet", 5, 40, 24);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  const unsigned char* pixels = cairo_image_surface_get_data(s);
  const std::size_t bytes = static_cast<std::size_t>(cairo_image_surface_get_stride(s)) * 60;
  EXPECT_EQ(std::count(pixels, pixels + bytes, 0), static_cast<std::ptrdiff_t>(bytes)) << "nothing drawn";
  cairo_surface_destroy(s);
}

// A font over bytes the caller keeps: the file must be followed by the whole zeroed margin.
TEST(Font, PaddedBytesNeedTheWholeMargin)
{
  const std::vector<unsigned char> file = robotoBytes();
  std::vector<unsigned char> padded(file.size() + Font::kMarginBytes, 0);
  std::copy(file.begin(), file.end(), padded.begin());
  std::string error;
  auto font = Font::FromPaddedBytes(padded, file.size(), &error);
  ASSERT_NE(font, nullptr) << error;
  EXPECT_NEAR(font->Ascent(40), 40.0 * 1900 / 2048, 1e-3);
  render(*font, "Quennet AV");

  const std::span<const unsigned char> short1(padded.data(), padded.size() - 1);
  EXPECT_EQ(Font::FromPaddedBytes(short1, file.size(), &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Font::FromPaddedBytes(padded, file.size() + 1, &error), nullptr) << "the margin starts after the file";
}

// Random damage to the bundled font: every result either is refused or measures and draws without
// reading outside its data (the sanitizer build checks that).
TEST(Font, RandomlyDamagedCopiesNeverReadOutsideTheirData)
{
  const std::vector<unsigned char> good = robotoBytes();
  std::mt19937 random(20240611);
  int loaded = 0;
  for (int round = 0; round < 60; ++round) {
    std::vector<unsigned char> bytes = good;
    const int flips = 1 + static_cast<int>(random() % 64);
    for (int i = 0; i < flips; ++i)
      bytes[random() % bytes.size()] = static_cast<unsigned char>(random());
    auto font = Font::FromBytes(std::move(bytes));
    if (!font)
      continue;
    ++loaded;
    font->MeasureText("Quennet AV To 1/16T \xE2\x80\xA6", 18);
    render(*font, "Quennet AV To 1/16T %&@ {}");
  }
  EXPECT_GT(loaded, 0);
}

TEST(Font, MissingFile)
{
  std::string error;
  EXPECT_EQ(Font::Load("/nonexistent/Roboto-Bold.ttf", &error), nullptr);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  TempDir dir;
  EXPECT_EQ(Font::Load(dir.path().string(), &error), nullptr) << "a folder is no font";
}
