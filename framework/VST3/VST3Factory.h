// SPDX-License-Identifier: ISC
#pragma once

#include "travesty/factory.h"

namespace plug::vst3 {

// The module's one plug-in factory (IPluginFactory, 2 and 3): one class, the plug-in's, whose
// instances are IPluginVST3 bridges. A process-wide object that is never destroyed: references to
// it are not counted. Any thread.
v3_plugin_factory** Factory();

} // namespace plug::vst3
