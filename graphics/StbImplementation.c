// SPDX-License-Identifier: ISC
/* The image decoder and font rasteriser of Debian's stb headers, compiled with the project so that
 * the sanitizer builds check them along with our own code. PNG and JPEG only, from memory only.
 * stb_truetype's internal checks never stop the process: a font that trips one draws badly at worst
 * (fonts are checked for damage before they reach it, see Font.cpp). */

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_NO_STDIO
#include <stb_image.h>

#define STB_TRUETYPE_IMPLEMENTATION
#define STBTT_assert(x) ((void)0)
#include <stb_truetype.h>
