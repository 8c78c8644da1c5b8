// SPDX-License-Identifier: ISC
#pragma once

#include "graphics/IGraphicsTypes.h"

typedef struct _cairo cairo_t;

namespace plug::graphics {

// Sets the source to the colour with its alpha multiplied by `weight`.
void setSourceColor(cairo_t* cr, const IColor& color, float weight = 1.0f);
// Sets the operator of a blend (source over without one) and returns the weight to apply.
float applyBlend(cairo_t* cr, const IBlend* blend);
// Adds a rectangle with rounded corners to the path.
void roundedRectangle(cairo_t* cr, double x, double y, double w, double h, double radius);
// A soft shadow under a rounded rectangle, a few pixels deep.
void dropShadow(cairo_t* cr, double x, double y, double w, double h, double radius, double depth);

} // namespace plug::graphics
