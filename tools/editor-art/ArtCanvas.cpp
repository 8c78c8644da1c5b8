// SPDX-License-Identifier: ISC
#include "tools/editor-art/ArtCanvas.h"

#include <cairo-ft.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <stb_image_write.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace art {

namespace {
cairo_font_face_t* sFace = nullptr;

void useFont(cairo_t* cr, double size)
{
  cairo_set_font_face(cr, sFace);
  cairo_set_font_size(cr, size);
  // Outlines as designed at every scale: no hinting, no metrics rounded to whole pixels.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_set_font_options(cr, options);
  cairo_font_options_destroy(options);
}

// The glyphs of `text` with `tracking` added between characters, starting at (x, y).
std::vector<cairo_glyph_t> glyphsOf(cairo_t* cr, const std::string& text, double x, double y, double tracking)
{
  cairo_glyph_t* glyphs = nullptr;
  int count = 0;
  std::vector<cairo_glyph_t> result;
  if (cairo_scaled_font_text_to_glyphs(cairo_get_scaled_font(cr), x, y, text.c_str(), static_cast<int>(text.size()),
                                       &glyphs, &count, nullptr, nullptr, nullptr) != CAIRO_STATUS_SUCCESS)
    return result;
  result.assign(glyphs, glyphs + count);
  cairo_glyph_free(glyphs);
  for (int i = 0; i < count; ++i)
    result[static_cast<std::size_t>(i)].x += i * tracking;
  return result;
}
} // namespace

void setColour(cairo_t* cr, Colour c)
{
  cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
}

void roundedRect(cairo_t* cr, Rect r, double radius)
{
  radius = std::min({radius, r.w() / 2, r.h() / 2});
  cairo_new_sub_path(cr);
  cairo_arc(cr, r.r - radius, r.t + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, r.r - radius, r.b - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, r.l + radius, r.b - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, r.l + radius, r.t + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

void fillRounded(cairo_t* cr, Rect r, double radius, Colour c)
{
  roundedRect(cr, r, radius);
  setColour(cr, c);
  cairo_fill(cr);
}

void strokeRounded(cairo_t* cr, Rect r, double radius, double width, Colour c)
{
  // Inset by half the line so the stroke stays inside the rectangle.
  roundedRect(cr, r.grown(-width / 2, -width / 2), radius - width / 2);
  setColour(cr, c);
  cairo_set_line_width(cr, width);
  cairo_stroke(cr);
}

void fillRoundedGradient(cairo_t* cr, Rect r, double radius, Colour top, Colour bottom)
{
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, r.t, 0, r.b);
  cairo_pattern_add_color_stop_rgba(gradient, 0, top.r, top.g, top.b, top.a);
  cairo_pattern_add_color_stop_rgba(gradient, 1, bottom.r, bottom.g, bottom.b, bottom.a);
  roundedRect(cr, r, radius);
  cairo_set_source(cr, gradient);
  cairo_fill(cr);
  cairo_pattern_destroy(gradient);
}

void line(cairo_t* cr, double x1, double y1, double x2, double y2, double width, Colour c)
{
  cairo_move_to(cr, x1, y1);
  cairo_line_to(cr, x2, y2);
  setColour(cr, c);
  cairo_set_line_width(cr, width);
  cairo_stroke(cr);
}

bool Font::load(const std::string& path, std::string& error)
{
  if (sFace)
    return true;
  static FT_Library library = nullptr;
  if (!library && FT_Init_FreeType(&library) != 0) {
    error = "cannot start FreeType";
    return false;
  }
  FT_Face face = nullptr;
  if (FT_New_Face(library, path.c_str(), 0, &face) != 0) {
    error = "cannot read the font " + path;
    return false;
  }
  // The face lives as long as the program: the artwork is drawn once and the process ends.
  sFace = cairo_ft_font_face_create_for_ft_face(face, 0);
  if (cairo_font_face_status(sFace) != CAIRO_STATUS_SUCCESS) {
    error = "cannot use the font " + path;
    sFace = nullptr;
    return false;
  }
  return true;
}

double textWidth(cairo_t* cr, const std::string& text, double size, double tracking)
{
  if (text.empty())
    return 0;
  useFont(cr, size);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  return extents.x_advance + tracking * (static_cast<double>(glyphsOf(cr, text, 0, 0, 0).size()) - 1);
}

void drawText(cairo_t* cr, const std::string& text, double x, double y, double size, Colour c, Align align,
              double tracking)
{
  if (text.empty())
    return;
  const double width = textWidth(cr, text, size, tracking);
  if (align == Align::Centre)
    x -= width / 2;
  else if (align == Align::Right)
    x -= width;
  useFont(cr, size);
  const std::vector<cairo_glyph_t> glyphs = glyphsOf(cr, text, x, y, tracking);
  setColour(cr, c);
  cairo_show_glyphs(cr, glyphs.data(), static_cast<int>(glyphs.size()));
}

void drawTextCentred(cairo_t* cr, const std::string& text, Rect r, double size, Colour c)
{
  useFont(cr, size);
  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  // The line box (ascent over descent) centred on the rectangle's middle.
  const double baseline = r.cy() + (font.ascent - font.descent) / 2;
  drawText(cr, text, r.cx(), baseline, size, c, Align::Centre);
}

bool writePng(cairo_surface_t* surface, const std::string& path, std::string& error)
{
  cairo_surface_flush(surface);
  if (cairo_surface_write_to_png(surface, path.c_str()) != CAIRO_STATUS_SUCCESS) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

bool writeJpeg(cairo_surface_t* surface, const std::string& path, int quality, std::string& error)
{
  cairo_surface_flush(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  // Cairo keeps native-endian 0xAARRGGBB words, premultiplied; the picture is opaque.
  std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      unsigned char* out =
        &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3];
      out[0] = static_cast<unsigned char>(row[x] >> 16);
      out[1] = static_cast<unsigned char>(row[x] >> 8);
      out[2] = static_cast<unsigned char>(row[x]);
    }
  }
  if (!stbi_write_jpg(path.c_str(), width, height, 3, rgb.data(), quality)) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

} // namespace art
