#include "framework/AAX/AAX_Collection.h"

namespace aax {

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
  descriptors.push_back(std::make_unique<AAX_IEffectDescriptor>());
  return descriptors.back().get();
}

AAX_Result AAX_ICollection::AddEffect(const char* effectID, AAX_IEffectDescriptor* descriptor)
{
  if (!descriptor)
    return AAX_ERROR_NULL_OBJECT;
  effects[effectID] = descriptor;
  return AAX_SUCCESS;
}

AAX_Result AAX_ICollection::SetManufacturerName(const char* name)
{
  manufacturerName = name;
  return AAX_SUCCESS;
}

AAX_Result AAX_ICollection::AddPackageName(const char* name)
{
  packageNames.emplace_back(name);
  return AAX_SUCCESS;
}

AAX_Result AAX_ICollection::SetPackageVersion(std::uint32_t version)
{
  packageVersion = version;
  return AAX_SUCCESS;
}

} // namespace aax
