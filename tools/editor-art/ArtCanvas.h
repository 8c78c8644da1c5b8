// SPDX-License-Identifier: ISC
#pragma once

// Small drawing helpers over Cairo for the editor's artwork: colours, rounded shapes, text in
// Roboto Bold through FreeType, and writing PNG and JPEG files.

#include <cairo.h>

#include <string>

#include "tools/editor-art/ArtLayout.h"

namespace art {

// Straight (not premultiplied) colour, components 0 … 1.
struct Colour {
  double r, g, b, a = 1.0;
};

constexpr Colour rgb(int r, int g, int b, double a = 1.0)
{
  return {r / 255.0, g / 255.0, b / 255.0, a};
}
// From the editor's alpha, red, green, blue quadruples.
constexpr Colour argb(const std::array<int, 4>& c)
{
  return {c[1] / 255.0, c[2] / 255.0, c[3] / 255.0, c[0] / 255.0};
}

void setColour(cairo_t* cr, Colour c);
void roundedRect(cairo_t* cr, Rect r, double radius);
void fillRounded(cairo_t* cr, Rect r, double radius, Colour c);
void strokeRounded(cairo_t* cr, Rect r, double radius, double width, Colour c);
// A vertical gradient from `top` to `bottom` over the rectangle.
void fillRoundedGradient(cairo_t* cr, Rect r, double radius, Colour top, Colour bottom);
void line(cairo_t* cr, double x1, double y1, double x2, double y2, double width, Colour c);

// The bundled font, loaded once from the system's copy of Roboto Bold.
class Font {
public:
  // False (with the reason in `error`) when the file cannot be read as a font.
  static bool load(const std::string& path, std::string& error);
};

enum class Align { Left, Centre, Right };

// `tracking` adds that many design units after every character but the last.
double textWidth(cairo_t* cr, const std::string& text, double size, double tracking = 0);
// Draws on the baseline y.
void drawText(cairo_t* cr, const std::string& text, double x, double y, double size, Colour c,
              Align align = Align::Left, double tracking = 0);
// Centred in a rectangle: horizontally by its advance, vertically by the font's line box
// (ascent over descent), which puts capitals and digits on the rectangle's middle.
void drawTextCentred(cairo_t* cr, const std::string& text, Rect r, double size, Colour c);

// False (with the reason in `error`) when the file cannot be written.
bool writePng(cairo_surface_t* surface, const std::string& path, std::string& error);
bool writeJpeg(cairo_surface_t* surface, const std::string& path, int quality, std::string& error);

} // namespace art
