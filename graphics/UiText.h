// SPDX-License-Identifier: ISC
#pragma once

#include <string>
#include <string_view>

typedef struct _cairo cairo_t;

namespace plug::graphics {

class Font;

// Text in pixels with a font that may be missing: without one, every character is drawn as an empty
// box of half an em, so text that could not be rendered is still visibly there.
float measureText(const Font* font, std::string_view text, float px);
// The text shortened with an ellipsis to fit `maxWidth` pixels.
std::string fitText(const Font* font, std::string_view text, float px, float maxWidth);
// Draws with the source and operator of `cr` (user space in pixels); (x, y) is the baseline's left end.
void drawText(cairo_t* cr, const Font* font, std::string_view text, float x, float y, float px);
float capHeight(const Font* font, float px);
float ascent(const Font* font, float px);
float descent(const Font* font, float px);

} // namespace plug::graphics
