// SPDX-License-Identifier: ISC
#include "apps/quennet-jack/JackHost.h"

#include <cmath>

#include "framework/ShortMidiMessage.h"

namespace jack_app {

std::unique_ptr<JackHost> JackHost::Open(plug::IPlugin& plugin, const std::string& clientName, std::string& error)
{
  jack_status_t status{};
  // A program for live use: it joins the user's server and never starts one of its own.
  jack_client_t* client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  if (!client) {
    error = (status & JackServerFailed) || (status & JackServerError)
      ? "no JACK server is running: start one (for example with QjackCtl, or `jackd -d alsa`) and try again"
      : "the JACK server refused the client \"" + clientName + "\"";
    return nullptr;
  }
  std::unique_ptr<JackHost> host(new JackHost(plugin, client));
  const char* names[2][2] = {{"in_left", "in_right"}, {"out_left", "out_right"}};
  for (int c = 0; c < 2; ++c) {
    host->mIn[c] = jack_port_register(client, names[0][c], JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    host->mOut[c] = jack_port_register(client, names[1][c], JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  }
  host->mMidiIn = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (!host->mIn[0] || !host->mIn[1] || !host->mOut[0] || !host->mOut[1] || !host->mMidiIn) {
    error = "JACK refused the client's ports";
    return nullptr;
  }
  return host;
}

JackHost::JackHost(plug::IPlugin& plugin, jack_client_t* client) : mPlugin(plugin), mClient(client)
{
  mEvents.reserve(kMaxEventsPerPeriod);
  // Called by JACK, not during process: the plug-in prepares for the new period or rate there, so
  // that the process thread never allocates.
  jack_set_buffer_size_callback(
    mClient,
    [](jack_nframes_t frames, void* self) {
      auto* host = static_cast<JackHost*>(self);
      host->mPlugin.PrepareToPlay(jack_get_sample_rate(host->mClient), static_cast<int>(frames));
      return 0;
    },
    this);
  jack_set_sample_rate_callback(
    mClient,
    [](jack_nframes_t rate, void* self) {
      auto* host = static_cast<JackHost*>(self);
      host->mPlugin.PrepareToPlay(static_cast<double>(rate), static_cast<int>(jack_get_buffer_size(host->mClient)));
      return 0;
    },
    this);
  jack_set_process_callback(
    mClient, [](jack_nframes_t frames, void* self) { return static_cast<JackHost*>(self)->process(frames); }, this);
  jack_on_shutdown(
    mClient, [](void* self) { static_cast<JackHost*>(self)->mServerGone.store(true, std::memory_order_release); },
    this);
}

JackHost::~JackHost()
{
  jack_deactivate(mClient);
  jack_client_close(mClient);
}

bool JackHost::Activate()
{
  mPlugin.PrepareToPlay(jack_get_sample_rate(mClient), static_cast<int>(jack_get_buffer_size(mClient)));
  mPlugin.Activate();
  return jack_activate(mClient) == 0;
}

const char* JackHost::ClientName() const
{
  return jack_get_client_name(mClient);
}

int JackHost::process(jack_nframes_t nFrames)
{
  const float* in[2];
  float* out[2];
  for (int c = 0; c < 2; ++c) {
    in[c] = static_cast<const float*>(jack_port_get_buffer(mIn[c], nFrames));
    out[c] = static_cast<float*>(jack_port_get_buffer(mOut[c], nFrames));
  }
  readMidi(nFrames);
  plug::HostBlock block;
  block.inputs = in;
  block.outputs = out;
  block.nFrames = static_cast<int>(nFrames);
  block.midi = mEvents.data();
  block.nMidi = static_cast<int>(mEvents.size());
  block.transport = readTransport();
  mPlugin.RenderAudio(block);
  return 0;
}

void JackHost::readMidi(jack_nframes_t nFrames)
{
  mEvents.clear();
  void* buffer = jack_port_get_buffer(mMidiIn, nFrames);
  const jack_nframes_t count = jack_midi_get_event_count(buffer);
  // JACK hands a period's events in time order.
  for (jack_nframes_t i = 0; i < count && mEvents.size() < kMaxEventsPerPeriod; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0)
      continue;
    const std::uint32_t length = plug::ShortMidiMessageLength(event.buffer, static_cast<std::uint32_t>(event.size));
    if (length == 0)
      continue; // system exclusive and broken bytes
    plug::HostMidiEvent midi;
    midi.frame = static_cast<int>(std::min(event.time, nFrames > 0 ? nFrames - 1 : 0));
    midi.status = event.buffer[0];
    midi.data1 = length > 1 ? event.buffer[1] : 0;
    midi.data2 = length > 2 ? event.buffer[2] : 0;
    mEvents.push_back(midi);
  }
}

const plug::HostTransport* JackHost::readTransport()
{
  jack_position_t position;
  const jack_transport_state_t state = jack_transport_query(mClient, &position);
  // Tempo and bars exist only while a timebase master runs; without one the plug-in has no
  // transport (120 BPM, no position), as in a host that gives none.
  if (!(position.valid & JackPositionBBT) || !(position.beats_per_minute > 0.0) ||
      !std::isfinite(position.beats_per_minute))
    return nullptr;
  mTransport = plug::HostTransport{};
  mTransport.hasTempo = true;
  mTransport.tempo = position.beats_per_minute;
  mTransport.hasSamplePosition = true;
  mTransport.samplePosition = static_cast<double>(position.frame);
  if (position.beats_per_bar > 0.0f && position.beat_type > 0.0f) {
    mTransport.hasMeter = true;
    mTransport.numerator = static_cast<int>(position.beats_per_bar);
    mTransport.denominator = static_cast<int>(position.beat_type);
  }
  mTransport.isPlaying = state == JackTransportRolling;
  return &mTransport;
}

} // namespace jack_app
