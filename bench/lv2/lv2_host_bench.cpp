// SPDX-License-Identifier: ISC
// A lilv host that times LV2 plug-ins as a DAW runs them: Quennet's built bundle, every factory
// preset, against Debian's ZamGrains (granular, mono) in the same run. 48 kHz, 512-frame blocks;
// the figure is the thread's CPU time per channel-sample (ns), the minimum over alternating
// repetitions after a warm-up, so that both plug-ins see the same machine state. The clock is read
// once per repetition: a read of the thread's CPU clock is a system call, which costs about a
// microsecond here and would count as some ns per sample if it were read around every block.
//
// Then a session of 64 Quennet instances in one host: the wall time to instantiate and activate
// them all, and the resident memory they add, before and after each has run a second of audio.
#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/presets/presets.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr std::uint32_t kBlock = 512;
constexpr int kWarmupBlocks = 94; // about one second
constexpr int kTimedBlocks = 188; // about two seconds per repetition
constexpr int kRepetitions = 15;
constexpr const char* kQuennetURI = "http://tarnwellmusic.example/plugins/quennet";
constexpr const char* kZamGrainsURI = "urn:zamaudio:ZamGrains";

class UridMap {
public:
  UridMap()
  {
    mMap = {this, [](LV2_URID_Map_Handle self, const char* uri) { return static_cast<UridMap*>(self)->id(uri); }};
    mUnmap = {this, [](LV2_URID_Unmap_Handle self, LV2_URID urid) {
                auto* map = static_cast<UridMap*>(self);
                return urid >= 1 && urid <= map->mUris.size() ? map->mUris[urid - 1]->c_str() : nullptr;
              }};
  }
  LV2_URID id(const char* uri)
  {
    auto [it, added] = mIds.try_emplace(uri, static_cast<LV2_URID>(mUris.size() + 1));
    if (added)
      mUris.push_back(std::make_unique<std::string>(uri));
    return it->second;
  }
  LV2_URID_Map mMap{};
  LV2_URID_Unmap mUnmap{};

private:
  std::map<std::string, LV2_URID> mIds;
  std::vector<std::unique_ptr<std::string>> mUris;
};

double threadSeconds()
{
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Three seconds of stereo test material (tones and noise), looped.
struct Material {
  Material() : left(3 * static_cast<size_t>(kRate)), right(left.size())
  {
    std::uint32_t seed = 99;
    for (size_t i = 0; i < left.size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.1;
      const double t = static_cast<double>(i) / kRate;
      left[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 110.0 * t) + noise);
      right[i] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 165.0 * t) - noise);
    }
  }
  std::vector<float> left;
  std::vector<float> right;
};

// One instance with every port connected the way a host does.
class HostedPlugin {
public:
  HostedPlugin(LilvWorld* world, const LilvPlugin* plugin, UridMap& urids) : mPlugin(plugin), mUrids(urids)
  {
    mBlockLength = static_cast<std::int32_t>(kBlock);
    mSequenceSize = static_cast<std::int32_t>(kAtomCapacity);
    mRate = static_cast<float>(kRate);
    const LV2_URID intType = urids.id(LV2_ATOM__Int);
    mOptions[0] = {LV2_OPTIONS_INSTANCE,      0,     urids.id(LV2_PARAMETERS__sampleRate), sizeof(float),
                   urids.id(LV2_ATOM__Float), &mRate};
    mOptions[1] = {LV2_OPTIONS_INSTANCE, 0,       urids.id(LV2_BUF_SIZE__minBlockLength),
                   sizeof(std::int32_t), intType, &mBlockLength};
    mOptions[2] = {LV2_OPTIONS_INSTANCE, 0,       urids.id(LV2_BUF_SIZE__maxBlockLength),
                   sizeof(std::int32_t), intType, &mBlockLength};
    mOptions[3] = {LV2_OPTIONS_INSTANCE, 0,       urids.id(LV2_BUF_SIZE__nominalBlockLength),
                   sizeof(std::int32_t), intType, &mBlockLength};
    mOptions[4] = {LV2_OPTIONS_INSTANCE, 0,       urids.id(LV2_BUF_SIZE__sequenceSize),
                   sizeof(std::int32_t), intType, &mSequenceSize};
    mOptions[5] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    mMapFeature = {LV2_URID__map, &urids.mMap};
    mUnmapFeature = {LV2_URID__unmap, &urids.mUnmap};
    mOptionsFeature = {LV2_OPTIONS__options, mOptions};
    mBoundedFeature = {LV2_BUF_SIZE__boundedBlockLength, nullptr};
    const LV2_Feature* features[] = {&mMapFeature, &mUnmapFeature, &mOptionsFeature, &mBoundedFeature, nullptr};

    mInstance = lilv_plugin_instantiate(plugin, kRate, features);
    if (!mInstance)
      return;

    LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* control = lilv_new_uri(world, LV2_CORE__ControlPort);
    LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);
    LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
    const std::uint32_t n = lilv_plugin_get_num_ports(plugin);
    std::vector<float> defaults(n);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    mControls.assign(n, 0.0f);
    mAtoms.resize(n);
    for (std::uint32_t p = 0; p < n; ++p) {
      const LilvPort* port = lilv_plugin_get_port_by_index(plugin, p);
      const bool isInput = lilv_port_is_a(plugin, port, input);
      if (lilv_port_is_a(plugin, port, audio)) {
        auto& buffers = isInput ? mAudioIn : mAudioOut;
        buffers.emplace_back(kBlock, 0.0f);
        lilv_instance_connect_port(mInstance, p, buffers.back().data());
      } else if (lilv_port_is_a(plugin, port, control)) {
        mControls[p] = std::isnan(defaults[p]) ? 0.0f : defaults[p];
        lilv_instance_connect_port(mInstance, p, &mControls[p]);
      } else if (lilv_port_is_a(plugin, port, atom)) {
        mAtoms[p].assign(kAtomCapacity / sizeof(std::uint64_t), 0);
        (isInput ? mAtomIns : mAtomOuts).push_back(p);
        lilv_instance_connect_port(mInstance, p, mAtoms[p].data());
      } else {
        lilv_instance_connect_port(mInstance, p, nullptr);
      }
    }
    lilv_node_free(audio);
    lilv_node_free(control);
    lilv_node_free(atom);
    lilv_node_free(input);
    lilv_instance_activate(mInstance);
  }

  ~HostedPlugin()
  {
    if (mInstance) {
      lilv_instance_deactivate(mInstance);
      lilv_instance_free(mInstance);
    }
  }
  HostedPlugin(const HostedPlugin&) = delete;
  HostedPlugin& operator=(const HostedPlugin&) = delete;

  bool valid() const { return mInstance != nullptr; }
  size_t channels() const { return mAudioIn.size(); }

  void applyPreset(LilvWorld* world, const LilvNode* preset)
  {
    lilv_world_load_resource(world, preset);
    LilvState* state = lilv_state_new_from_world(world, &mUrids.mMap, preset);
    if (!state)
      return;
    lilv_state_restore(state, mInstance, setPortValue, this, 0, nullptr);
    lilv_state_free(state);
  }

  // A control input's current value, by symbol; NaN when there is no such port.
  float control(const char* symbol) const
  {
    const std::uint32_t n = lilv_plugin_get_num_ports(mPlugin);
    for (std::uint32_t p = 0; p < n; ++p) {
      const LilvPort* port = lilv_plugin_get_port_by_index(mPlugin, p);
      if (std::strcmp(lilv_node_as_string(lilv_port_get_symbol(mPlugin, port)), symbol) == 0)
        return mControls[p];
    }
    return std::numeric_limits<float>::quiet_NaN();
  }

  // Events for the next block: a time:Position (rolling at 120 BPM from frame 0) and, for the
  // MIDI presets, a held four-note chord.
  void queueStart(bool chord)
  {
    for (std::uint32_t p : mAtomIns) {
      LV2_Atom_Forge forge;
      lv2_atom_forge_init(&forge, &mUrids.mMap);
      lv2_atom_forge_set_buffer(&forge, reinterpret_cast<std::uint8_t*>(mAtoms[p].data()), kAtomCapacity);
      LV2_Atom_Forge_Frame sequence;
      lv2_atom_forge_sequence_head(&forge, &sequence, 0);
      LV2_Atom_Forge_Frame object;
      lv2_atom_forge_frame_time(&forge, 0);
      lv2_atom_forge_object(&forge, &object, 0, mUrids.id(LV2_TIME__Position));
      lv2_atom_forge_key(&forge, mUrids.id(LV2_TIME__beatsPerMinute));
      lv2_atom_forge_float(&forge, 120.0f);
      lv2_atom_forge_key(&forge, mUrids.id(LV2_TIME__frame));
      lv2_atom_forge_long(&forge, 0);
      lv2_atom_forge_key(&forge, mUrids.id(LV2_TIME__speed));
      lv2_atom_forge_float(&forge, 1.0f);
      lv2_atom_forge_pop(&forge, &object);
      if (chord)
        for (std::uint8_t note : {48, 55, 60, 64}) {
          const std::uint8_t bytes[3] = {0x90, note, 100};
          lv2_atom_forge_frame_time(&forge, 0);
          lv2_atom_forge_atom(&forge, 3, mUrids.id(LV2_MIDI__MidiEvent));
          lv2_atom_forge_write(&forge, bytes, 3);
        }
      lv2_atom_forge_pop(&forge, &sequence);
      mStartQueued = true;
    }
  }

  // Runs `blocks` blocks of the material as a host does (the input copied in, the event buffers
  // made ready, run()); returns the thread CPU seconds spent.
  double run(const Material& material, int blocks)
  {
    const double start = threadSeconds();
    for (int b = 0; b < blocks; ++b) {
      if (mPosition + kBlock > material.left.size())
        mPosition = 0;
      for (size_t c = 0; c < mAudioIn.size(); ++c) {
        const std::vector<float>& source = c == 0 ? material.left : material.right;
        std::copy_n(source.begin() + static_cast<long>(mPosition), kBlock, mAudioIn[c].begin());
      }
      mPosition += kBlock;
      prepareAtoms();
      lilv_instance_run(mInstance, kBlock);
      mStartQueued = false;
    }
    return threadSeconds() - start;
  }

private:
  static constexpr std::uint32_t kAtomCapacity = 8192;

  static void setPortValue(const char* symbol, void* self, const void* value, std::uint32_t size, std::uint32_t type)
  {
    auto* hosted = static_cast<HostedPlugin*>(self);
    if (size != sizeof(float) || type != hosted->mUrids.id(LV2_ATOM__Float))
      return;
    const std::uint32_t n = lilv_plugin_get_num_ports(hosted->mPlugin);
    for (std::uint32_t p = 0; p < n; ++p) {
      const LilvPort* port = lilv_plugin_get_port_by_index(hosted->mPlugin, p);
      if (std::strcmp(lilv_node_as_string(lilv_port_get_symbol(hosted->mPlugin, port)), symbol) == 0)
        std::memcpy(&hosted->mControls[p], value, sizeof(float));
    }
  }

  void prepareAtoms()
  {
    if (!mStartQueued)
      for (std::uint32_t p : mAtomIns) { // an empty sequence
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(mAtoms[p].data());
        sequence->atom.type = mUrids.id(LV2_ATOM__Sequence);
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
        sequence->body.unit = 0;
        sequence->body.pad = 0;
      }
    for (std::uint32_t p : mAtomOuts) {
      auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(mAtoms[p].data());
      sequence->atom.type = mUrids.id(LV2_ATOM__Chunk);
      sequence->atom.size = kAtomCapacity - sizeof(LV2_Atom);
    }
  }

  const LilvPlugin* mPlugin;
  UridMap& mUrids;
  LilvInstance* mInstance = nullptr;
  float mRate = 0.0f;
  std::int32_t mBlockLength = 0;
  std::int32_t mSequenceSize = 0;
  LV2_Options_Option mOptions[6]{};
  LV2_Feature mMapFeature{};
  LV2_Feature mUnmapFeature{};
  LV2_Feature mOptionsFeature{};
  LV2_Feature mBoundedFeature{};
  std::vector<std::vector<float>> mAudioIn;
  std::vector<std::vector<float>> mAudioOut;
  std::vector<float> mControls;
  std::vector<std::vector<std::uint64_t>> mAtoms; // 8-byte aligned atom buffers by port
  std::vector<std::uint32_t> mAtomIns;
  std::vector<std::uint32_t> mAtomOuts;
  size_t mPosition = 0;
  bool mStartQueued = false;
};

// The thread CPU time one clock read takes: the smallest gap between two reads in a row.
double clockReadSeconds()
{
  double least = std::numeric_limits<double>::infinity();
  for (int i = 0; i < 1000; ++i) {
    const double a = threadSeconds();
    least = std::min(least, threadSeconds() - a);
  }
  return least;
}

// Resident memory of the process, bytes.
double residentBytes()
{
  long pages = 0;
  long resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
      resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double wallSeconds()
{
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A session of many Quennet instances in one host, as a large project loads it: each made
// (instantiate, ports connected, activate) one after the other, then each run for a second.
bool session(LilvWorld* world, const LilvPlugin* quennet, UridMap& urids, const Material& material)
{
  constexpr int kInstances = 64;
  constexpr double kSecondsTarget = 1.0;
  constexpr double kMiBTarget = 450.0;
  std::vector<std::unique_ptr<HostedPlugin>> instances;
  instances.reserve(kInstances);
  // One made and dropped first: the module loaded, and what it keeps for all its instances set up.
  {
    HostedPlugin first(world, quennet, urids);
  }
  const double before = residentBytes();
  const double start = wallSeconds();
  for (int i = 0; i < kInstances; ++i) {
    instances.push_back(std::make_unique<HostedPlugin>(world, quennet, urids));
    if (!instances.back()->valid()) {
      std::fprintf(stderr, "lv2_host_bench: instance %d could not be instantiated\n", i);
      return false;
    }
  }
  const double seconds = wallSeconds() - start;
  const double made = (residentBytes() - before) / 1048576.0;
  for (auto& instance : instances)
    instance->run(material, kWarmupBlocks);
  const double ran = (residentBytes() - before) / 1048576.0;
  const auto verdict = [](bool met) { return met ? "met" : "NOT MET"; };
  std::printf("%d Quennet instances in one host: instantiated and activated in %.3f s (target %.0f s: %s)\n",
              kInstances, seconds, kSecondsTarget, verdict(seconds <= kSecondsTarget));
  std::printf("  resident memory they add: %.1f MiB when made, %.1f MiB after a second of audio each "
              "(target %.0f MiB: %s)\n\n",
              made, ran, kMiBTarget, verdict(std::max(made, ran) <= kMiBTarget));
  return true;
}

struct Row {
  std::string preset;
  double quennet = std::numeric_limits<double>::infinity(); // ns per channel-sample
  double zam = std::numeric_limits<double>::infinity();
};

} // namespace

int main()
{
  // A plug-in instance writes its settings file under $HOME/.config: give it a home of its own.
  std::string home = (std::filesystem::path(QUENNET_BENCH_DIR) / "home-XXXXXX").string();
  std::string lv2Path = (std::filesystem::path(QUENNET_BENCH_DIR) / "lv2-XXXXXX").string();
  if (!mkdtemp(home.data()) || !mkdtemp(lv2Path.data())) {
    std::fprintf(stderr, "lv2_host_bench: cannot make temporary folders in %s\n", QUENNET_BENCH_DIR);
    return 1;
  }
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME"); // the settings go to that home's .config
  // The build's bundle (never an installed one) and the system's plug-ins.
  std::filesystem::create_directory_symlink(QUENNET_LV2_BUNDLE, lv2Path + "/quennet.lv2");
  setenv("LV2_PATH", (lv2Path + ":/usr/lib/lv2").c_str(), 1);

  int result = 0;
  {
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    const LilvPlugins* plugins = lilv_world_get_all_plugins(world);
    LilvNode* quennetURI = lilv_new_uri(world, kQuennetURI);
    LilvNode* zamURI = lilv_new_uri(world, kZamGrainsURI);
    const LilvPlugin* quennet = lilv_plugins_get_by_uri(plugins, quennetURI);
    const LilvPlugin* zam = lilv_plugins_get_by_uri(plugins, zamURI);
    UridMap urids;
    Material material;

    if (!quennet) {
      std::fprintf(stderr, "lv2_host_bench: %s not found in %s\n", kQuennetURI, QUENNET_LV2_BUNDLE);
      result = 1;
    } else {
      if (!zam)
        std::printf("ZamGrains is not installed (tools/setup.sh bench installs zam-plugins): Quennet only.\n");

      // The factory presets in slot order, as the bundle lists them.
      LilvNode* presetClass = lilv_new_uri(world, LV2_PRESETS__Preset);
      LilvNode* label = lilv_new_uri(world, "http://www.w3.org/2000/01/rdf-schema#label");
      LilvNodes* presets = lilv_plugin_get_related(quennet, presetClass);
      std::vector<std::pair<std::string, const LilvNode*>> ordered;
      LILV_FOREACH(nodes, i, presets)
      {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(world, preset);
        LilvNode* name = lilv_world_get(world, preset, label, nullptr);
        ordered.emplace_back(name ? lilv_node_as_string(name) : lilv_node_as_uri(preset), preset);
        lilv_node_free(name);
      }
      const std::vector<std::string> slotOrder = {"default",     "Sync 2 Host",    "Frequency",        "MIDI Standard",
                                                  "MIDI Synced", "Ring Modulator", "Synced Reversals", "Sequenced",
                                                  "Slap Back",   "Strange Mix"};
      std::stable_sort(ordered.begin(), ordered.end(), [&](const auto& a, const auto& b) {
        return std::find(slotOrder.begin(), slotOrder.end(), a.first) <
          std::find(slotOrder.begin(), slotOrder.end(), b.first);
      });

      std::printf("\nLV2 host benchmark (lilv): %.0f Hz, %u-frame blocks, thread CPU time per channel-sample,\n"
                  "minimum of %d alternating repetitions of %.1f s after %.1f s warm-up; MIDI presets hold a\n"
                  "four-note chord; Quennet gets a time:Position, rolling at 120 BPM.\n\n",
                  kRate, kBlock, kRepetitions, kTimedBlocks * kBlock / kRate, kWarmupBlocks * kBlock / kRate);
      std::printf("%-18s %22s %24s %8s %8s\n", "Quennet preset", "Quennet (2 ch) ns", "ZamGrains (1 ch) ns", "ratio",
                  "target");
      // The highest ratio to ZamGrains each factory preset may have.
      const std::map<std::string, double> targets = {
        {"default", 0.20},          {"Sync 2 Host", 0.20}, {"Ring Modulator", 0.20}, {"Frequency", 0.35},
        {"Synced Reversals", 0.35}, {"Sequenced", 0.35},   {"Slap Back", 0.35},      {"Strange Mix", 0.35},
        {"MIDI Standard", 0.50},    {"MIDI Synced", 0.50}};

      for (const auto& [name, preset] : ordered) {
        HostedPlugin q(world, quennet, urids);
        if (!q.valid()) {
          std::fprintf(stderr, "lv2_host_bench: Quennet could not be instantiated\n");
          result = 1;
          break;
        }
        q.applyPreset(world, preset);
        const bool midiPreset = q.control("grain_mode") == 3.0f; // mode "MIDI"
        q.queueStart(midiPreset);
        q.run(material, kWarmupBlocks);

        std::unique_ptr<HostedPlugin> z;
        if (zam) {
          z = std::make_unique<HostedPlugin>(world, zam, urids);
          if (!z->valid())
            z.reset();
          else
            z->run(material, kWarmupBlocks);
        }

        Row row{name};
        const double samples = static_cast<double>(kTimedBlocks) * kBlock;
        for (int r = 0; r < kRepetitions; ++r) {
          row.quennet = std::min(row.quennet, q.run(material, kTimedBlocks) * 1e9 / (samples * q.channels()));
          if (z)
            row.zam = std::min(row.zam, z->run(material, kTimedBlocks) * 1e9 / (samples * z->channels()));
        }
        const auto target = targets.find(name);
        if (z && target != targets.end())
          std::printf("%-18s %22.2f %24.2f %8.2f %8.2f  %s\n", row.preset.c_str(), row.quennet, row.zam,
                      row.quennet / row.zam, target->second,
                      row.quennet / row.zam <= target->second ? "met" : "NOT MET");
        else if (z)
          std::printf("%-18s %22.2f %24.2f %8.2f\n", row.preset.c_str(), row.quennet, row.zam, row.quennet / row.zam);
        else
          std::printf("%-18s %22.2f %24s %8s\n", row.preset.c_str(), row.quennet, "-", "-");
      }
      std::printf("(one read of the thread's CPU clock costs %.2f µs here)\n\n", clockReadSeconds() * 1e6);
      lilv_nodes_free(presets);
      lilv_node_free(label);
      lilv_node_free(presetClass);
      if (!session(world, quennet, urids, material))
        result = 1;
    }
    lilv_node_free(quennetURI);
    lilv_node_free(zamURI);
    lilv_world_free(world);
  }

  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  std::filesystem::remove_all(lv2Path, ignored);
  return result;
}
