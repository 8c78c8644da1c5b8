// SPDX-License-Identifier: ISC
// Renders one factory preset for a while, for profilers and for comparing two builds: callgrind's
// instruction counts repeat whatever else the machine runs, and the digest of the output (or the
// raw output) shows whether two builds give the same numbers to the bit. The render call of each
// block delivers the MIDI and the transport, the audio path then runs on double buffers (as the
// reference tests drive it), so the digest covers every bit of the doubles. Not part of `make bench`.
//
//   preset_render <preset 0-9> [seconds=10] [block=512] [notes=none|chord|eight] [raw output file]
//
// 48 kHz, a fixed noise-and-tones input, transport rolling at 120 BPM from 0. "chord" plays the
// four notes of the LV2 host benchmark at the start, "eight" eight notes with polyphony 8.

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TempHome.h"
#include "core/quennet.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

using namespace quennet;

int main(int argc, char** argv)
{
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s preset [seconds] [block] [none|chord|eight] [raw-output]\n", argv[0]);
    return 2;
  }
  const int preset = std::atoi(argv[1]);
  const double seconds = argc > 2 ? std::atof(argv[2]) : 10.0;
  const int block = argc > 3 ? std::atoi(argv[3]) : 512;
  const std::string notes = argc > 4 ? argv[4] : "none";
  std::FILE* raw = argc > 5 ? std::fopen(argv[5], "wb") : nullptr;
  constexpr double kRate = 48000.0;

  TempHome home;
  std::unique_ptr<Quennet> plugin(static_cast<Quennet*>(plug::MakePlug(plug::InstanceInfo{})));
  plugin->RestorePreset(preset);
  if (notes == "eight")
    plugin->SetParameterFromHostPlain(kMidiPolyphony, 8.0);
  plugin->PrepareToPlay(kRate, block);

  std::vector<plug::HostMidiEvent> first;
  if (notes == "chord")
    for (std::uint8_t note : {48, 55, 60, 64})
      first.push_back({0, 0x90, note, 100});
  if (notes == "eight")
    for (std::uint8_t note : {36, 43, 48, 52, 55, 60, 64, 67})
      first.push_back({0, 0x90, note, 100});

  // One second of material, played round and round; the block's input is copied from it.
  constexpr int kMaterial = 48000;
  std::vector<double> material[2];
  std::uint32_t seed = 99;
  for (auto& m : material)
    m.resize(kMaterial);
  for (int i = 0; i < kMaterial; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 0.1;
    const double t = i / kRate;
    // Floats, as hosts deliver them.
    material[0][static_cast<size_t>(i)] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 110.0 * t) + noise);
    material[1][static_cast<size_t>(i)] = static_cast<float>(0.3 * std::sin(2.0 * M_PI * 165.0 * t) - noise);
  }
  std::vector<double> in[2], out[2];
  for (auto& v : in)
    v.resize(static_cast<size_t>(block));
  for (auto& v : out)
    v.resize(static_cast<size_t>(block));
  std::uint64_t digest = 1469598103934665603ull;
  const auto total = static_cast<std::int64_t>(seconds * kRate);
  plug::HostTransport transport;
  transport.hasTempo = transport.hasSamplePosition = transport.isPlaying = true;
  for (std::int64_t done = 0; done < total; done += block) {
    for (int c = 0; c < 2; ++c)
      for (int i = 0; i < block; ++i)
        in[c][static_cast<size_t>(i)] = material[c][static_cast<size_t>((done + i) % kMaterial)];
    transport.samplePosition = static_cast<double>(done);
    plug::HostBlock b;
    b.nFrames = 0;
    b.transport = &transport;
    if (done == 0) {
      b.midi = first.data();
      b.nMidi = static_cast<int>(first.size());
    }
    plugin->RenderAudio(b);
    double* inputs[2] = {in[0].data(), in[1].data()};
    double* outputs[2] = {out[0].data(), out[1].data()};
    plugin->ProcessBlock(inputs, outputs, block);
    for (int c = 0; c < 2; ++c)
      for (double s : out[c]) {
        std::uint64_t bits;
        std::memcpy(&bits, &s, sizeof bits);
        digest = (digest ^ bits) * 1099511628211ull;
      }
    if (raw)
      for (int i = 0; i < block; ++i) {
        const double pair[2] = {out[0][static_cast<size_t>(i)], out[1][static_cast<size_t>(i)]};
        std::fwrite(pair, sizeof pair, 1, raw);
      }
  }
  if (raw)
    std::fclose(raw);
  std::printf("preset %d, %.1f s, blocks of %d, notes %s: digest %016" PRIx64 "\n", preset, seconds, block,
              notes.c_str(), digest);
  return 0;
}
