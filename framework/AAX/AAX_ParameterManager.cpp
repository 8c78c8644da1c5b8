// SPDX-License-Identifier: ISC
#include "framework/AAX/AAX_ParameterManager.h"

namespace plug::aax {

const AAX_ParameterManager::Parameter* AAX_ParameterManager::Find(const std::string& id) const
{
  const auto it = mParameters.find(id);
  return it == mParameters.end() ? nullptr : &it->second;
}

AAX_ParameterManager::Parameter* AAX_ParameterManager::Find(const std::string& id)
{
  const auto it = mParameters.find(id);
  return it == mParameters.end() ? nullptr : &it->second;
}

AAX_Result AAX_ParameterManager::SetParameterNormalizedValue(const std::string& id, double normalizedValue)
{
  std::lock_guard lock(mMutex);
  Parameter* parameter = Find(id);
  if (!parameter)
    return AAX_ERROR_INVALID_PARAMETER_ID;
  parameter->normalizedValue = normalizedValue;
  ++parameter->setCount;
  return AAX_SUCCESS;
}

AAX_Result AAX_ParameterManager::TouchParameter(const std::string& id)
{
  std::lock_guard lock(mMutex);
  Parameter* parameter = Find(id);
  if (!parameter)
    return AAX_ERROR_INVALID_PARAMETER_ID;
  parameter->touched = true;
  return AAX_SUCCESS;
}

AAX_Result AAX_ParameterManager::ReleaseParameter(const std::string& id)
{
  std::lock_guard lock(mMutex);
  Parameter* parameter = Find(id);
  if (!parameter)
    return AAX_ERROR_INVALID_PARAMETER_ID;
  parameter->touched = false;
  return AAX_SUCCESS;
}

} // namespace plug::aax
