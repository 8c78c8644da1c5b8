// SPDX-License-Identifier: ISC
#include "apps/quennet-render/EditorPicture.h"

#include <cairo.h>

#include <vector>

#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Interruption.h"
#include "apps/quennet-render/Pictures.h"
#include "apps/quennet-render/PluginSetup.h"
#include "core/quennet.h"
#include "framework/HostBlock.h"
#include "graphics/EditorWindow.h"
#include "graphics/IPlatformView.h"

namespace render {

namespace {

// A window that only holds the context's picture, which is written from the context itself: no
// screen of its own (an off-screen view's copy is 109 MB at scale 4), no pixels copied.
class PictureOnlyView final : public plug::graphics::IPlatformView {
public:
  void PresentRect(const plug::graphics::ImageView&, const plug::graphics::PixelRect&) override {}
  void RequestResize(int, int) override {}
  void SetMouseCursor(plug::graphics::ECursor) override {}
  void HideMouseCursor(bool) override {}
  bool OpenURL(const char*) override { return false; }
};

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length)
{
  auto* bytes = static_cast<std::vector<unsigned char>*>(closure);
  bytes->insert(bytes->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

// The picture as PNG bytes; empty when Cairo cannot encode it.
std::vector<unsigned char> encodePng(const plug::graphics::ImageView& image)
{
  std::vector<unsigned char> bytes;
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
    const_cast<unsigned char*>(image.data), CAIRO_FORMAT_ARGB32, image.width, image.height, image.stride);
  if (cairo_surface_write_to_png_stream(surface, appendBytes, &bytes) != CAIRO_STATUS_SUCCESS)
    bytes.clear();
  cairo_surface_destroy(surface);
  return bytes;
}

} // namespace

void writeEditorPicture(const Options& options)
{
  setInterruptNote(inQuotes(options.editorPicture) + " is left as it was");
  std::unique_ptr<plug::IPlugin> plugin = makePlugin();
  const PluginSettings settings = resolvePluginSettings(*plugin, options.preset, options.settings);
  PendingPicture picture(options.editorPicture);
  applyPluginSettings(*plugin, settings, options.settings);
  // A render call of no frames: the plug-in takes the changes over as it does before audio, so the
  // editor sees the grain mode and the frame sync it shows sliders for.
  plug::HostBlock block;
  block.nFrames = 0;
  plugin->RenderAudio(block);

  // The editor opens at this instance's preferred scale (the settings file is not touched), as it
  // would for a user whose file holds this scale.
  auto* instance = dynamic_cast<quennet::Quennet*>(plugin.get());
  if (!instance)
    throw RenderFailure("the plug-in has no editor");
  instance->learn().setPreferredScale(static_cast<float>(options.editorScale));
  PictureOnlyView view;
  std::unique_ptr<plug::graphics::EditorWindow> window = plug::graphics::EditorWindow::Open(*plugin, view);
  if (!window)
    throw RenderFailure("the plug-in has no editor");
  plug::graphics::IGraphics& g = window->Graphics();
  plugin->OnTimer(); // one idle tick: the LED
  g.UpdateFrame();
  const std::vector<unsigned char> png = encodePng(g.GetImage());
  if (png.empty())
    throw RenderFailure("cannot draw " + inQuotes(options.editorPicture));
  picture.write(png);
  window.reset();
  holdInterruptsUntilExit();
  picture.commit();
}

} // namespace render
