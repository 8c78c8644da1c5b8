// SPDX-License-Identifier: ISC
#include "framework/VST3/VST3Factory.h"

#include <cstdio>
#include <cstring>

#include "framework/IPlugin.h"
#include "framework/VST3/Com.h"
#include "framework/VST3/IPluginVST3.h"
#include "framework/VST3/VST3Layout.h"
#include "framework/VST3/VST3Strings.h"

namespace plug::vst3 {

namespace {

// Copies into a host's fixed field, cut to fit, always terminated.
template <std::size_t N>
void copyText(char (&field)[N], const char* text)
{
  std::snprintf(field, N, "%s", text ? text : "");
}

// "1.1.2" from the configuration's version word.
void versionText(char* out, std::size_t size)
{
  const int version = PlugConfig().vendorVersion;
  std::snprintf(out, size, "%d.%d.%d", (version >> 16) & 0xFFFF, (version >> 8) & 0xFF, version & 0xFF);
}

v3_result V3_API queryInterface(void* self, const v3_tuid iid, void** obj)
{
  if (!obj)
    return V3_INVALID_ARG;
  *obj = nullptr;
  if (iid &&
      (SameIid(iid, v3_funknown_iid) || SameIid(iid, v3_plugin_factory_iid) || SameIid(iid, v3_plugin_factory_2_iid) ||
       SameIid(iid, v3_plugin_factory_3_iid))) {
    *obj = self;
    return V3_OK;
  }
  return V3_NO_INTERFACE;
}

std::uint32_t V3_API ref(void*)
{
  return 1;
}

std::uint32_t V3_API unref(void*)
{
  return 1;
}

v3_result V3_API getFactoryInfo(void*, v3_factory_info* info)
{
  if (!info)
    return V3_INVALID_ARG;
  *info = v3_factory_info{};
  copyText(info->vendor, PlugConfig().mfrName);
  copyText(info->url, kVendorURL);
  info->flags = 0x10; // names are Unicode
  return V3_OK;
}

std::int32_t V3_API numClasses(void*)
{
  return 1;
}

// The fields every class info has.
template <typename Info>
void fillCommon(Info& info)
{
  std::memcpy(info.class_id, kClassId, sizeof(v3_tuid));
  info.cardinality = 0x7FFFFFFF; // many instances
  copyText(info.category, kCategory);
}

v3_result V3_API getClassInfo(void*, std::int32_t index, v3_class_info* info)
{
  if (!info || index != 0)
    return V3_INVALID_ARG;
  *info = v3_class_info{};
  fillCommon(*info);
  copyText(info->name, PlugConfig().pluginName);
  return V3_OK;
}

v3_result V3_API getClassInfo2(void*, std::int32_t index, v3_class_info_2* info)
{
  if (!info || index != 0)
    return V3_INVALID_ARG;
  *info = v3_class_info_2{};
  fillCommon(*info);
  copyText(info->name, PlugConfig().pluginName);
  info->class_flags = 0; // processor and controller are one object: they cannot be distributed
  copyText(info->sub_categories, kSubCategories);
  copyText(info->vendor, PlugConfig().mfrName);
  versionText(info->version, sizeof(info->version));
  copyText(info->sdk_version, kSdkVersion);
  return V3_OK;
}

v3_result V3_API getClassInfoUtf16(void*, std::int32_t index, v3_class_info_3* info)
{
  if (!info || index != 0)
    return V3_INVALID_ARG;
  *info = v3_class_info_3{};
  fillCommon(*info);
  CopyToUtf16(PlugConfig().pluginName, info->name, std::size(info->name));
  info->class_flags = 0;
  copyText(info->sub_categories, kSubCategories);
  CopyToUtf16(PlugConfig().mfrName, info->vendor, std::size(info->vendor));
  char version[64];
  versionText(version, sizeof(version));
  CopyToUtf16(version, info->version, std::size(info->version));
  CopyToUtf16(kSdkVersion, info->sdk_version, std::size(info->sdk_version));
  return V3_OK;
}

v3_result V3_API createInstance(void*, const v3_tuid classId, const v3_tuid iid, void** obj)
{
  if (!obj)
    return V3_INVALID_ARG;
  *obj = nullptr;
  if (!classId || !iid || !SameIid(classId, kClassId))
    return V3_NO_INTERFACE;
  IPluginVST3* bridge = IPluginVST3::Create();
  if (!bridge)
    return V3_NOMEM;
  // The caller's reference replaces the one it was made with; an interface it does not have
  // leaves none, and the bridge goes.
  const v3_result result = bridge->QueryInterface(iid, obj);
  bridge->Unref();
  return result;
}

v3_result V3_API setHostContext(void*, v3_funknown**)
{
  return V3_OK;
}

const v3_plugin_factory_cpp kFactoryTable = {
  {queryInterface, ref, unref},
  {getFactoryInfo, numClasses, getClassInfo, createInstance},
  {getClassInfo2},
  {getClassInfoUtf16, setHostContext},
};

struct FactoryObject {
  const v3_plugin_factory_cpp* table;
};

FactoryObject sFactory{&kFactoryTable};

} // namespace

v3_plugin_factory** Factory()
{
  return reinterpret_cast<v3_plugin_factory**>(&sFactory);
}

} // namespace plug::vst3
