// SPDX-License-Identifier: ISC
#include "graphics/UiText.h"

#include <cairo.h>

#include <cmath>

#include "graphics/Font.h"
#include "graphics/Utf8.h"

namespace plug::graphics {

namespace {

constexpr float kBoxAdvance = 0.6f; // em
constexpr float kBoxWidth = 0.45f;
constexpr float kBoxHeight = 0.7f;

int characters(std::string_view text)
{
  int n = 0;
  forEachCodepoint(text, [&](char32_t, std::size_t) { ++n; });
  return n;
}

} // namespace

float measureText(const Font* font, std::string_view text, float px)
{
  return font ? font->MeasureText(text, px) : kBoxAdvance * px * static_cast<float>(characters(text));
}

std::string fitText(const Font* font, std::string_view text, float px, float maxWidth)
{
  if (font)
    return font->FitText(text, px, maxWidth);
  const int fits = static_cast<int>(maxWidth / (kBoxAdvance * px));
  int n = 0;
  forEachCodepoint(text, [&](char32_t, std::size_t) { ++n; });
  if (n <= fits)
    return std::string(text);
  n = 0;
  std::size_t pos = 0;
  forEachCodepoint(text, [&](char32_t, std::size_t bytes) {
    if (n++ < fits)
      pos += bytes;
  });
  return std::string(text.substr(0, pos));
}

void drawText(cairo_t* cr, const Font* font, std::string_view text, float x, float y, float px)
{
  if (font) {
    font->DrawText(cr, text, x, y, px);
    return;
  }
  cairo_save(cr);
  cairo_set_line_width(cr, std::max(1.0f, px / 14.0f));
  float pen = x;
  forEachCodepoint(text, [&](char32_t c, std::size_t) {
    if (c != ' ')
      cairo_rectangle(cr, pen + 0.5, y - kBoxHeight * px + 0.5, kBoxWidth * px, kBoxHeight * px);
    pen += kBoxAdvance * px;
  });
  cairo_stroke(cr);
  cairo_restore(cr);
}

float capHeight(const Font* font, float px)
{
  return font ? font->CapHeight(px) : kBoxHeight * px;
}
float ascent(const Font* font, float px)
{
  return font ? font->Ascent(px) : 0.9f * px;
}
float descent(const Font* font, float px)
{
  return font ? font->Descent(px) : 0.25f * px;
}

} // namespace plug::graphics
