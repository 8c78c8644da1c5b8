// SPDX-License-Identifier: ISC
#include "editor/asset_folder.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>

namespace quennet {

namespace {

bool holdsAssets(const std::filesystem::path& folder)
{
  std::error_code error;
  return !folder.empty() && std::filesystem::is_regular_file(folder / "back.jpg", error);
}

} // namespace

std::string chooseAssetFolder(const std::string& moduleFile, const std::string& buildResources)
{
  const std::filesystem::path module(moduleFile);
  // A relative path would be read against the current directory, which belongs to the host.
  const std::filesystem::path moduleFolder = module.is_absolute() ? module.parent_path() : std::filesystem::path();
  if (holdsAssets(moduleFolder))
    return moduleFolder.string();
  if (holdsAssets(buildResources))
    return buildResources;
  return moduleFolder.empty() ? buildResources : moduleFolder.string();
}

std::string editorAssetFolder()
{
  // The binary this function is in: the plug-in module itself, or the executable it is linked into.
  Dl_info info{};
  const std::string moduleFile =
    dladdr(reinterpret_cast<const void*>(&editorAssetFolder), &info) != 0 && info.dli_fname ? info.dli_fname : "";
  return chooseAssetFolder(moduleFile, QUENNET_BUILD_RESOURCES_DIR);
}

} // namespace quennet
