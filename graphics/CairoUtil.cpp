// SPDX-License-Identifier: ISC
#include "graphics/CairoUtil.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

namespace plug::graphics {

void setSourceColor(cairo_t* cr, const IColor& color, float weight)
{
  auto channel = [](int v) { return std::clamp(v, 0, 255) / 255.0; };
  cairo_set_source_rgba(cr, channel(color.R), channel(color.G), channel(color.B),
                        channel(color.A) * std::clamp(static_cast<double>(weight), 0.0, 1.0));
}

float applyBlend(cairo_t* cr, const IBlend* blend)
{
  if (!blend) {
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    return 1.0f;
  }
  cairo_set_operator(cr, blend->mMethod == EBlend::kAdd ? CAIRO_OPERATOR_ADD : CAIRO_OPERATOR_OVER);
  return std::clamp(blend->mWeight, 0.0f, 1.0f);
}

void roundedRectangle(cairo_t* cr, double x, double y, double w, double h, double radius)
{
  const double r = std::clamp(radius, 0.0, 0.5 * std::min(w, h));
  constexpr double kQuarter = M_PI / 2.0;
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kQuarter, 0.0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0.0, kQuarter);
  cairo_arc(cr, x + r, y + h - r, r, kQuarter, 2.0 * kQuarter);
  cairo_arc(cr, x + r, y + r, r, 2.0 * kQuarter, 3.0 * kQuarter);
  cairo_close_path(cr);
}

void dropShadow(cairo_t* cr, double x, double y, double w, double h, double radius, double depth)
{
  // Layers of faint rounded rectangles, each a little larger, offset downwards.
  const int layers = std::max(1, static_cast<int>(std::lround(depth)));
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  for (int i = layers; i >= 1; --i) {
    const double grow = i;
    cairo_set_source_rgba(cr, 0.0, 0.0, 0.0, 0.22 / layers);
    roundedRectangle(cr, x - grow * 0.5, y - grow * 0.25 + depth * 0.5, w + grow, h + grow, radius + grow * 0.5);
    cairo_fill(cr);
  }
  cairo_restore(cr);
}

} // namespace plug::graphics
