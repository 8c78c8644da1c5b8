// SPDX-License-Identifier: ISC
#pragma once

#include "apps/quennet-render/Options.h"

namespace render {

// Draws the plug-in's editor off-screen, as it opens after the preset and the --set values (the
// slider of the grain mode, the LED as the first idle tick leaves it), at the options' scale, into
// the PNG file options.editorPicture. Throws BadInput or RenderFailure.
void writeEditorPicture(const Options& options);

} // namespace render
