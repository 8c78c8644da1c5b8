// SPDX-License-Identifier: ISC
#pragma once

namespace render {

// How samples are stored in an audio file, as far as the renderer distinguishes them.
enum class SampleFormat {
  Pcm16,
  Pcm24,
  Float, // 32-bit IEEE float
};

inline const char* sampleFormatName(SampleFormat format)
{
  switch (format) {
    case SampleFormat::Pcm16: return "pcm16";
    case SampleFormat::Pcm24: return "pcm24";
    case SampleFormat::Float: return "float";
  }
  return "?";
}

} // namespace render
