// Damaged copies of the editor's font through the font loader, then measuring and drawing text.
// The input is a list of edits to the real "Roboto-Bold.ttf" from the build's resources (the font
// is not copied into the corpus): each edit is 5 bytes, a 32-bit offset (taken modulo the file's
// size, or within the first 4 KB when its top bit is set, where the table directory lives) and the
// byte to put there. A font must be refused or work without reading outside its data.

#include <cairo.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "graphics/Font.h"

namespace {

const std::vector<unsigned char>& robotoBold()
{
  static const std::vector<unsigned char> bytes = [] {
    std::ifstream in(QUENNET_FUZZ_FONT, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
  }();
  if (bytes.empty())
    std::abort();  // the build's resources are missing
  return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  std::vector<unsigned char> font = robotoBold();
  for (std::size_t i = 0; i + 5 <= size; i += 5) {
    const std::uint32_t where = static_cast<std::uint32_t>(data[i]) << 24 | static_cast<std::uint32_t>(data[i + 1]) << 16 |
                                static_cast<std::uint32_t>(data[i + 2]) << 8 | data[i + 3];
    const std::size_t offset = (where & 0x80000000u) ? (where & 0xFFFu) % font.size() : where % font.size();
    font[offset] = data[i + 4];
  }
  if (size % 5 == 4)
    font.resize(font.size() * data[size - 1] / 256);  // and sometimes cut short

  auto loaded = plug::graphics::Font::FromBytes(std::move(font));
  if (!loaded)
    return 0;
  static cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 400, 80);
  cairo_t* cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 0, 0, 0);
  const char* text = "Quennet AV To 1/16T 0123456789 \xC3\xA9\xE2\x80\xA6 {}%&@";
  loaded->MeasureText(text, 18);
  loaded->FitText(text, 13, 90);
  loaded->DrawText(cr, text, 4, 50, 24);
  cairo_destroy(cr);
  return 0;
}
