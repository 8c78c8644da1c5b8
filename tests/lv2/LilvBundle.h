// SPDX-License-Identifier: ISC
#pragma once

// The build's quennet.lv2 as a lilv host finds it: a world loaded from an LV2_PATH that holds the
// bundle and nothing else (BundlePath), and the plug-in in it. Made once per test suite: it sets
// LV2_PATH for the whole process. And instances of the plug-in as such a host makes them.

#include <lilv/lilv.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "BundlePath.h"
#include "LV2TestHost.h"
#include "framework/LV2/LV2Layout.h"

class LilvBundle {
public:
  explicit LilvBundle(const std::string& bundle) : mPath(bundle)
  {
    setenv("LV2_PATH", mPath.path().c_str(), 1);
    world = lilv_world_new();
    lilv_world_load_all(world);
    LilvNode* uri = lilv_new_uri(world, plug::lv2::kPluginURI);
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
  }
  ~LilvBundle() { lilv_world_free(world); }
  LilvBundle(const LilvBundle&) = delete;
  LilvBundle& operator=(const LilvBundle&) = delete;

  LilvWorld* world = nullptr;
  const LilvPlugin* plugin = nullptr; // null when the bundle was not found

private:
  BundlePath mPath;
};

// One instance through lilv: urid:map and unmap, the options (rate and largest block) and, when
// given, a worker; host ports for `bufferFrames` frames with the control values given, connected;
// activated. Deactivated and freed with the object.
class LilvPluginInstance {
public:
  LilvPluginInstance(const LilvPlugin* plugin, UridMap& urids, double rate, int maxBlock, int bufferFrames,
                     const std::vector<float>& controls, HostWorker* worker = nullptr)
      : mUrids(urids), mOptions(urids, static_cast<float>(rate), maxBlock), ports(urids, bufferFrames, controls)
  {
    std::vector<const LV2_Feature*> features = {urids.mapFeature(), urids.unmapFeature(), &mOptions.feature};
    if (worker)
      features.push_back(worker->feature());
    features.push_back(nullptr);
    mInstance = lilv_plugin_instantiate(plugin, rate, features.data());
    if (!mInstance)
      return;
    ports.connect(descriptor(), handle());
    lilv_instance_activate(mInstance);
  }
  ~LilvPluginInstance()
  {
    if (mInstance) {
      lilv_instance_deactivate(mInstance);
      lilv_instance_free(mInstance);
    }
  }
  LilvPluginInstance(const LilvPluginInstance&) = delete;
  LilvPluginInstance& operator=(const LilvPluginInstance&) = delete;

  bool valid() const { return mInstance != nullptr; }
  LilvInstance* lilv() { return mInstance; }
  const LV2_Descriptor& descriptor() const { return *lilv_instance_get_descriptor(mInstance); }
  LV2_Handle handle() const { return lilv_instance_get_handle(mInstance); }

  StereoBuffer render(const StereoBuffer& input, int blockSize, const std::vector<TimedMidi>& midi = {},
                      std::optional<HostPosition> position = std::nullopt, std::vector<SentMidi>* midiOut = nullptr)
  {
    return renderLV2(descriptor(), handle(), ports, mUrids, input, blockSize, midi, position, midiOut);
  }
  std::vector<double> chunk() { return savedChunk(descriptor(), handle(), mUrids); }

protected:
  UridMap& mUrids;

private:
  HostOptions mOptions;
  LilvInstance* mInstance = nullptr;

public:
  HostPorts ports;
};
