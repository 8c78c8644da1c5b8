// SPDX-License-Identifier: ISC
#pragma once

// Recorder of an effect's description: what the description entry declares, kept for the host
// (and the tests) to read back. A host can make individual calls fail to see how the
// description copes.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/AAX/AAX.h"

namespace plug::aax {

// One I/O configuration's setup record.
struct AAX_ComponentSetup {
  std::string inputStemFormat; // "stereo"
  std::string outputStemFormat;
  bool sideChainInput = false;
  int auxOutputStems = 0;
  AAX_CTypeID manufacturerID = 0;
  AAX_CTypeID productID = 0;
  AAX_CTypeID nativePlugInID = 0;
  AAX_CTypeID audioSuitePlugInID = 0;
  std::string midiInputNodeName;
  std::uint32_t midiInputChannelMask = 0;
  bool globalMidi = false;
  bool midiOutput = false;
  bool transportRequested = false;
  std::string masterBypassName;
  std::string masterBypassOffText; // shown for false
  std::string masterBypassOnText; // shown for true
  bool hostGeneratedGUI = false;
  bool algorithmDescribed = false;
};

using AAX_FactoryFunction = void* (*)();

class AAX_IEffectDescriptor {
public:
  AAX_Result AddName(const char* name);
  AAX_Result AddCategory(std::uint32_t category);
  AAX_Result AddComponent(const AAX_ComponentSetup& setup);
  AAX_Result AddProcPtr(AAX_FactoryFunction function, const char* role);

  std::vector<std::string> names;
  std::vector<std::uint32_t> categories;
  std::vector<AAX_ComponentSetup> components;
  std::map<std::string, AAX_FactoryFunction> procPtrs; // by role

  // Host side: the name of a call that should fail with `failResult` (the collection hands its
  // own setting to every descriptor it makes).
  std::string failingCall;
  AAX_Result failResult = -1;

private:
  AAX_Result result(const char* call) const { return failingCall == call ? failResult : AAX_SUCCESS; }
};

class AAX_ICollection {
public:
  // Null when the host cannot make one (host side: `refuseDescriptor`).
  AAX_IEffectDescriptor* NewDescriptor();
  AAX_Result AddEffect(const char* effectID, AAX_IEffectDescriptor* descriptor);
  AAX_Result SetManufacturerName(const char* name);
  AAX_Result AddPackageName(const char* name);
  AAX_Result SetPackageVersion(std::uint32_t version);
  // The host's assertion service.
  void PostAssertion(const char* text) { assertions.emplace_back(text); }

  bool refuseDescriptor = false;
  // Host side: the name of a call, of the collection or of a descriptor it makes ("AddName",
  // "AddCategory", "AddComponent", "AddProcPtr", "AddEffect", "SetManufacturerName",
  // "AddPackageName", "SetPackageVersion"), that records its arguments but answers `failResult`.
  std::string failingCall;
  AAX_Result failResult = -1;
  std::vector<std::unique_ptr<AAX_IEffectDescriptor>> descriptors;
  std::map<std::string, AAX_IEffectDescriptor*> effects; // by effect identifier
  std::string manufacturerName;
  std::vector<std::string> packageNames;
  std::uint32_t packageVersion = 0;
  std::vector<std::string> assertions;

private:
  AAX_Result result(const char* call) const { return failingCall == call ? failResult : AAX_SUCCESS; }
};

} // namespace plug::aax
