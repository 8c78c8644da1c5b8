// SPDX-License-Identifier: ISC
#pragma once

// Stereo WAV files of 32-bit float samples for the tests that hand audio to a host or a program
// and read back what it wrote (link sndfile).

#include <sndfile.h>

#include <optional>
#include <string>
#include <vector>

#include "TestHost.h"

// False when the file cannot be written whole.
inline bool writeStereoWav(const std::string& path, const StereoBuffer& audio, int rate)
{
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file)
    return false;
  std::vector<float> interleaved(audio.frames() * 2);
  for (size_t i = 0; i < audio.frames(); ++i) {
    interleaved[2 * i] = audio.left[i];
    interleaved[2 * i + 1] = audio.right[i];
  }
  const sf_count_t written = sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(audio.frames()));
  sf_close(file);
  return written == static_cast<sf_count_t>(audio.frames());
}

// The samples of a stereo file at `rate`, as floats; nothing when the file is not one, or, with
// `floatOnly`, when its samples are not floats (so not exactly what a host computed).
inline std::optional<StereoBuffer> readStereoWav(const std::string& path, int rate, bool floatOnly = false)
{
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file)
    return std::nullopt;
  if (info.channels != 2 || info.samplerate != rate ||
      (floatOnly && (info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_FLOAT)) {
    sf_close(file);
    return std::nullopt;
  }
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * 2);
  const sf_count_t read = sf_readf_float(file, interleaved.data(), info.frames);
  sf_close(file);
  StereoBuffer audio(static_cast<size_t>(read));
  for (size_t i = 0; i < audio.frames(); ++i) {
    audio.left[i] = interleaved[2 * i];
    audio.right[i] = interleaved[2 * i + 1];
  }
  return audio;
}
