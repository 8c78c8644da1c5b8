// SPDX-License-Identifier: ISC
// Arbitrary bytes through the MIDI Tuning Standard parser: nothing crashes and every note keeps
// a finite, positive frequency.

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "services/tuning_client.h"

using namespace quennet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  TuningClient* client = MTS_RegisterClient();
  MTS_ParseMIDIDataU(client, data, static_cast<int>(size));
  MTS_ParseMIDIData(client, reinterpret_cast<const char*>(data), static_cast<int>(size));
  for (int note = 0; note < 128; ++note) {
    const double frequency = MTS_NoteToFrequency(client, static_cast<signed char>(note), -1);
    if (!std::isfinite(frequency) || !(frequency > 0.0))
      std::abort();
    MTS_RetuningInSemitones(client, static_cast<signed char>(note), 0);
  }
  MTS_FrequencyToNote(client, 440.0, -1);
  const char* name = MTS_GetScaleName(client);
  if (!name)
    std::abort();
  MTS_DeregisterClient(client);
  return 0;
}
