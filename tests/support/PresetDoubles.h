// SPDX-License-Identifier: ISC
#pragma once

// Every factory preset rendered through the plug-in's processing call at double precision, on
// input made with integer arithmetic only, so that two builds (x86-64 and aarch64) can compare
// their audio paths without a float rounding or a libm difference in the material hiding a
// deviation or making one.
//
// Per preset: a stream of kFrames stereo frames at 48 kHz, the preset restored at frame 0, a
// playing transport at 132 BPM from song position 48000, a chord and a melody for the MIDI
// presets, and blocks whose sizes cycle through kBlockSizes, so that both the few-frame path and
// the block path are taken. Output: left and right interleaved.

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "core/quennet.h"
#include "framework/HostBlock.h"

namespace preset_doubles {

constexpr double kRate = 48000.0;
constexpr long kFrames = 60000;
constexpr std::array<int, 6> kBlockSizes = {512, 1, 64, 3, 333, 4};

// Noise from a linear congruential generator plus a saw and a square wave from integer phases,
// in multiples of 2^-16: exactly the same doubles on any machine, and floats hold them exactly.
inline void makeInput(std::vector<double>& left, std::vector<double>& right)
{
  left.assign(static_cast<size_t>(kFrames), 0.0);
  right.assign(static_cast<size_t>(kFrames), 0.0);
  std::uint32_t state = 20240613u;
  for (long n = 0; n < kFrames; ++n) {
    state = state * 1664525u + 1013904223u;
    const std::int32_t noise = static_cast<std::int32_t>(state >> 20) - 2048; // -2048 … 2047
    const std::int32_t saw = static_cast<std::int32_t>((n * 301) % 65536) - 32768; // about 220 Hz
    const std::int32_t square = (n / 109) % 2 ? 12000 : -12000; // about 220 Hz
    left[static_cast<size_t>(n)] = static_cast<double>(saw / 2 + noise) * 0x1p-16;
    right[static_cast<size_t>(n)] = static_cast<double>(square + noise) * 0x1p-16;
  }
}

struct Note {
  long frame;
  std::uint8_t status, note;
};

// Notes for the MIDI presets (the others ignore them), each at the start of the block holding it.
inline constexpr Note kNotes[] = {{0, 0x90, 48},     {0, 0x90, 55},     {2000, 0x90, 60},
                                  {9000, 0x90, 64},  {21000, 0x80, 55}, {30000, 0x90, 67},
                                  {30000, 0x80, 60}, {44000, 0x80, 48}, {50000, 0x90, 72}};

// One preset's output, left and right interleaved (2 × kFrames values).
inline std::vector<double> render(int preset, const std::vector<double>& left, const std::vector<double>& right)
{
  std::unique_ptr<quennet::Quennet> plugin(static_cast<quennet::Quennet*>(plug::MakePlug({})));
  plugin->PrepareToPlay(kRate, 512);
  plugin->RestorePreset(preset);
  std::vector<double> out(2 * static_cast<size_t>(kFrames));
  std::vector<double> blockLeft(512), blockRight(512);
  size_t nextNote = 0;
  long start = 0;
  for (size_t b = 0; start < kFrames; ++b) {
    const int n = static_cast<int>(std::min<long>(kBlockSizes[b % kBlockSizes.size()], kFrames - start));
    // Notes and transport through the render call, then the audio path on doubles.
    std::vector<plug::HostMidiEvent> events;
    while (nextNote < std::size(kNotes) && kNotes[nextNote].frame < start + n) {
      const Note& note = kNotes[nextNote++];
      events.push_back({0, note.status, note.note, 100});
    }
    plug::HostTransport transport;
    transport.hasTempo = transport.hasSamplePosition = transport.isPlaying = true;
    transport.tempo = 132.0;
    transport.samplePosition = 48000.0 + static_cast<double>(start);
    plug::HostBlock block;
    block.nFrames = 0;
    block.midi = events.data();
    block.nMidi = static_cast<int>(events.size());
    block.transport = &transport;
    plugin->RenderAudio(block);
    double* inputs[2] = {const_cast<double*>(left.data()) + start, const_cast<double*>(right.data()) + start};
    double* outputs[2] = {blockLeft.data(), blockRight.data()};
    plugin->ProcessBlock(inputs, outputs, n);
    for (int i = 0; i < n; ++i) {
      out[2 * static_cast<size_t>(start + i)] = blockLeft[static_cast<size_t>(i)];
      out[2 * static_cast<size_t>(start + i) + 1] = blockRight[static_cast<size_t>(i)];
    }
    start += n;
  }
  return out;
}

} // namespace preset_doubles
