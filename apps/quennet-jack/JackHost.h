// SPDX-License-Identifier: ISC
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

namespace jack_app {

// The plug-in as a JACK client: stereo in and out, a MIDI input, and the JACK transport's tempo and
// position while a timebase master runs. JACK's process thread is the plug-in's audio thread; the
// thread that made the host (the program's main thread) is its user-interface thread.
class JackHost {
public:
  // Events of one JACK period handed to the plug-in; later ones are dropped.
  static constexpr int kMaxEventsPerPeriod = 1024;

  // Null when no JACK server answers (no server is started for us); `error` then says why.
  static std::unique_ptr<JackHost> Open(plug::IPlugin& plugin, const std::string& clientName, std::string& error);
  ~JackHost();
  JackHost(const JackHost&) = delete;
  JackHost& operator=(const JackHost&) = delete;

  // Starts processing; false when JACK refuses.
  bool Activate();
  // The server went away (it shut down or threw the client out). Any thread.
  bool ServerGone() const { return mServerGone.load(std::memory_order_acquire); }
  const char* ClientName() const;

private:
  JackHost(plug::IPlugin& plugin, jack_client_t* client);

  // JACK's process thread.
  int process(jack_nframes_t nFrames);
  void readMidi(jack_nframes_t nFrames);
  const plug::HostTransport* readTransport();

  plug::IPlugin& mPlugin;
  jack_client_t* mClient;
  jack_port_t* mIn[2] = {nullptr, nullptr};
  jack_port_t* mOut[2] = {nullptr, nullptr};
  jack_port_t* mMidiIn = nullptr;
  std::vector<plug::HostMidiEvent> mEvents; // capacity kMaxEventsPerPeriod, never grown
  plug::HostTransport mTransport;
  std::atomic<bool> mServerGone{false};
};

} // namespace jack_app
