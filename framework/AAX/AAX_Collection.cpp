// SPDX-License-Identifier: ISC
#include "framework/AAX/AAX_Collection.h"

#include <utility>

namespace plug::aax {

AAX_Result AAX_IEffectDescriptor::AddName(const char* name)
{
  names.emplace_back(name);
  return result("AddName");
}

AAX_Result AAX_IEffectDescriptor::AddCategory(std::uint32_t category)
{
  categories.push_back(category);
  return result("AddCategory");
}

AAX_Result AAX_IEffectDescriptor::AddComponent(const AAX_ComponentSetup& setup)
{
  components.push_back(setup);
  return result("AddComponent");
}

AAX_Result AAX_IEffectDescriptor::AddProcPtr(AAX_FactoryFunction function, const char* role)
{
  procPtrs[role] = function;
  return result("AddProcPtr");
}

AAX_IEffectDescriptor* AAX_ICollection::NewDescriptor()
{
  if (refuseDescriptor)
    return nullptr;
  auto descriptor = std::make_unique<AAX_IEffectDescriptor>();
  descriptor->failingCall = failingCall;
  descriptor->failResult = failResult;
  descriptors.push_back(std::move(descriptor));
  return descriptors.back().get();
}

AAX_Result AAX_ICollection::AddEffect(const char* effectID, AAX_IEffectDescriptor* descriptor)
{
  if (!descriptor)
    return AAX_ERROR_NULL_OBJECT;
  effects[effectID] = descriptor;
  return result("AddEffect");
}

AAX_Result AAX_ICollection::SetManufacturerName(const char* name)
{
  manufacturerName = name;
  return result("SetManufacturerName");
}

AAX_Result AAX_ICollection::AddPackageName(const char* name)
{
  packageNames.emplace_back(name);
  return result("AddPackageName");
}

AAX_Result AAX_ICollection::SetPackageVersion(std::uint32_t version)
{
  packageVersion = version;
  return result("SetPackageVersion");
}

} // namespace plug::aax
