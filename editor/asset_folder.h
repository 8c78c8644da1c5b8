// SPDX-License-Identifier: ISC
#pragma once

#include <string>

namespace quennet {

// The folder the editor loads its images and font from: the folder of the binary that holds the
// plug-in (the LV2 bundle) when the assets are there; otherwise the build's resources folder (the
// renderer and the tests, whose executables live elsewhere). Never the current directory.
std::string editorAssetFolder();

// The rule on its own: `moduleFile` the binary's path as the loader reports it (empty or relative:
// unknown), `buildResources` the build's resources folder. A folder counts when it holds "back.jpg".
// With neither, the module's folder (the editor then shows placeholders and says what is missing).
std::string chooseAssetFolder(const std::string& moduleFile, const std::string& buildResources);

} // namespace quennet
