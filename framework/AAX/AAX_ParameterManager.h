// SPDX-License-Identifier: ISC
#pragma once

// The host's side of the parameters: one record per host id, holding the host's normalised
// value, plus the touch state the host shows while the user drags a control. Like a host's own,
// it may be called from any thread; the records are registered before any other thread runs.

#include <map>
#include <mutex>
#include <string>

#include "framework/AAX/AAX.h"

namespace plug::aax {

class AAX_ParameterManager {
public:
  struct Parameter {
    std::string name;
    double normalizedValue = 0.0;
    double defaultNormalizedValue = 0.0;
    bool automatable = true;
    int numSteps = 0; // 0: continuous
    bool touched = false;
    int setCount = 0; // how often the plug-in set the value
  };

  void AddParameter(const std::string& id, const Parameter& parameter) { mParameters[id] = parameter; }
  bool Contains(const std::string& id) const { return mParameters.count(id) != 0; }
  const Parameter* Find(const std::string& id) const;
  Parameter* Find(const std::string& id);
  int NumParameters() const { return static_cast<int>(mParameters.size()); }

  AAX_Result SetParameterNormalizedValue(const std::string& id, double normalizedValue);
  AAX_Result TouchParameter(const std::string& id);
  AAX_Result ReleaseParameter(const std::string& id);

private:
  std::mutex mMutex; // guards the values, not the set of records
  std::map<std::string, Parameter> mParameters;
};

} // namespace plug::aax
