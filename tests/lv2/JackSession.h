// SPDX-License-Identifier: ISC
#pragma once

// A private JACK server (dummy backend) with its clients for the tests that run jalv, and the retry
// of a session that JACK stalls. Every process runs in its own group and is stopped with it; every
// wait has a deadline.
//
// jackd 1.9.21 on a loaded machine now and then loses a client's wake-up: the server reports the
// client "not finished, state = Triggered" while the client waits to be triggered, and the graph
// never runs again. A session in which a JACK step times out is therefore run again on a fresh
// server (a few times at most); the checks on what the plug-in did apply to a session that ran.

#include <gtest/gtest.h>

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"
#include "framework/LV2/LV2Layout.h"

constexpr int kJackAttempts = 4;

// Root mean square of a recorded file, both channels; -1 when it cannot be read.
inline double recordedRms(const std::string& path)
{
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file)
    return -1.0;
  std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
  const sf_count_t frames = sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  if (frames <= 0)
    return -1.0;
  double sum = 0.0;
  for (float s : samples)
    sum += static_cast<double>(s) * s;
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

// A JACK step that did not finish in time.
struct Stalled {
  std::string step;
};

// One private server with its clients; destroying it stops the clients, then the server.
class JackSession {
public:
  JackSession(const std::string& bundlePath, const TempDir& files, int serial) : mFiles(files)
  {
    mServer = "quennet-test-" + std::to_string(getpid()) + "-" + std::to_string(serial);
    mEnvironment = {"JACK_DEFAULT_SERVER=" + mServer, "JACK_NO_START_SERVER=1",        "JACK_NO_AUDIO_RESERVATION=1",
                    "LV2_PATH=" + bundlePath,         "HOME=" + files.path().string(), "XDG_CONFIG_HOME="};
    mJackd = std::make_unique<ChildProcess>(
      std::vector<std::string>{"jackd", "-n", mServer, "-d", "dummy", "-r", "48000", "-p", "512"}, mEnvironment,
      files.file("jackd.log"));
    const CommandResult ready =
      runCommand({"jack_wait", "-s", mServer, "-w", "-t", "10"}, mEnvironment, files.file("jack_wait.log"), 15.0);
    if (ready.status != 0)
      throw Stalled{"server start: " + ready.output};
  }

  ~JackSession()
  {
    for (auto& client : mClients)
      client->stop();
    mClients.clear();
    mJackd->stop();
    // A server or client that had to be killed leaves its shared memory and semaphores behind;
    // their names carry this session's unique server name.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored))
      if (entry.path().filename().string().find("_" + mServer + "_") != std::string::npos)
        std::filesystem::remove(entry.path(), ignored);
  }

  JackSession(const JackSession&) = delete;
  JackSession& operator=(const JackSession&) = delete;

  // `extraEnvironment`: "NAME=value" entries on top of the session's (a DISPLAY).
  ChildProcess& start(const std::vector<std::string>& argv, const std::string& log, bool pipeStdin = false,
                      const std::vector<std::string>& extraEnvironment = {})
  {
    std::vector<std::string> environment = mEnvironment;
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    mClients.push_back(std::make_unique<ChildProcess>(argv, environment, mFiles.file(log), pipeStdin));
    return *mClients.back();
  }

  // jalv in console mode; its output line-buffered into its log so that the test can follow it.
  ChildProcess& startJalv()
  {
    return start({"stdbuf", "-oL", "jalv", "-n", "qjalv", plug::lv2::kPluginURI}, "jalv.log", true);
  }

  std::vector<std::string> ports()
  {
    const CommandResult result = runCommand({"jack_lsp"}, mEnvironment, mFiles.file("jack_lsp.log"), 10.0);
    std::vector<std::string> names;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
      names.push_back(line);
    return names;
  }

  void waitForPorts(const std::vector<std::string>& wanted)
  {
    const bool found = waitUntil(
      [&] {
        const std::vector<std::string> names = ports();
        return std::all_of(wanted.begin(), wanted.end(), [&](const std::string& p) {
          return std::find(names.begin(), names.end(), p) != names.end();
        });
      },
      20.0, 0.2);
    if (!found)
      throw Stalled{"ports " + wanted.front() + " ..."};
  }

  void waitForOutput(ChildProcess& process, const std::string& text)
  {
    if (!waitUntil([&] { return process.log().find(text) != std::string::npos; }, 10.0))
      throw Stalled{"waiting for \"" + text + "\""};
  }

  void connect(const std::string& from, const std::string& to)
  {
    const CommandResult result = runCommand({"jack_connect", from, to}, mEnvironment, mFiles.file("connect.log"), 10.0);
    if (result.status != 0)
      throw Stalled{"jack_connect " + from + " " + to + ": " + result.output};
  }

  // One second of the plug-in's outputs.
  double recordOutputs(const std::string& name)
  {
    const std::string file = mFiles.file(name);
    const CommandResult result = runCommand({"jack_rec", "-f", file, "-d", "1", "qjalv:out_left", "qjalv:out_right"},
                                            mEnvironment, mFiles.file("jack_rec.log"), 15.0);
    if (result.status != 0)
      throw Stalled{"jack_rec " + name + ": " + result.output};
    return recordedRms(file);
  }

  std::string serverLog() const { return mJackd->log(); }

private:
  const TempDir& mFiles;
  std::string mServer;
  std::vector<std::string> mEnvironment;
  std::unique_ptr<ChildProcess> mJackd;
  std::vector<std::unique_ptr<ChildProcess>> mClients;
};

// Runs `session` on fresh servers until one runs through; false (after a failure report) when
// JACK stalled every time.
template <typename Session>
bool runJackSession(const std::string& bundlePath, const TempDir& files, Session&& session)
{
  static int serial = 0;
  std::string stalls;
  for (int attempt = 1; attempt <= kJackAttempts; ++attempt) {
    std::string serverLog;
    try {
      JackSession jack(bundlePath, files, ++serial);
      try {
        session(jack);
        return true;
      } catch (const Stalled&) {
        serverLog = jack.serverLog();
        throw;
      }
    } catch (const Stalled& stalled) {
      stalls += "attempt " + std::to_string(attempt) + ": " + stalled.step + "\n" + serverLog.substr(0, 1500) + "\n";
    }
  }
  ADD_FAILURE() << "JACK stalled in every attempt\n" << stalls;
  return false;
}
