// SPDX-License-Identifier: ISC
#pragma once

// A private JACK server (dummy backend, 48 kHz, 512 frames) for the tests that run JACK programs and
// hosts (quennet-jack, Qtractor), with their clients. Every process is started through
// `setpriv --pdeathsig KILL`, so it ends with the test process however that dies, and runs in a
// process group of its own that is stopped when the object goes.

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

class JackServer {
public:
  JackServer(const TempDir& files, const std::vector<std::string>& environment) : mFiles(files)
  {
    static int serial = 0;
    mName = "quennet-hosts-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    mEnvironment = environment;
    for (const std::string& e : {"JACK_DEFAULT_SERVER=" + mName, std::string("JACK_NO_START_SERVER=1"),
                                 std::string("JACK_NO_AUDIO_RESERVATION=1")})
      mEnvironment.push_back(e);
    mJackd =
      std::make_unique<ChildProcess>(withDeathSignal({"jackd", "-n", mName, "-d", "dummy", "-r", "48000", "-p", "512"}),
                                     mEnvironment, files.file("jackd-" + std::to_string(serial) + ".log"));
    const CommandResult ready =
      runCommand({"jack_wait", "-s", mName, "-w", "-t", "10"}, mEnvironment, files.file("jack_wait.log"), 15.0);
    mRunning = ready.status == 0;
  }

  ~JackServer()
  {
    for (auto& client : mClients)
      client->stop();
    mClients.clear();
    mJackd->stop();
    // A process that had to be killed leaves its shared memory behind, named after the server.
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ignored))
      if (entry.path().filename().string().find("_" + mName + "_") != std::string::npos)
        std::filesystem::remove(entry.path(), ignored);
  }
  JackServer(const JackServer&) = delete;
  JackServer& operator=(const JackServer&) = delete;

  bool running() const { return mRunning; }
  const std::string& name() const { return mName; }
  const std::vector<std::string>& environment() const { return mEnvironment; }

  static std::vector<std::string> withDeathSignal(const std::vector<std::string>& argv)
  {
    std::vector<std::string> wrapped = {"setpriv", "--pdeathsig", "KILL", "--"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
  }

  // A client of the server, stopped with it; `extra`: "NAME=value" on top of the environment.
  ChildProcess& start(const std::vector<std::string>& argv, const std::string& log,
                      const std::vector<std::string>& extra = {}, bool pipeStdin = false)
  {
    std::vector<std::string> environment = mEnvironment;
    environment.insert(environment.end(), extra.begin(), extra.end());
    mClients.push_back(std::make_unique<ChildProcess>(withDeathSignal(argv), environment, mFiles.file(log), pipeStdin));
    return *mClients.back();
  }

  // A program run to its end on this server.
  CommandResult run(const std::vector<std::string>& argv, const std::string& log, double seconds = 30.0,
                    const std::vector<std::string>& extra = {})
  {
    std::vector<std::string> environment = mEnvironment;
    environment.insert(environment.end(), extra.begin(), extra.end());
    return runCommand(withDeathSignal(argv), environment, mFiles.file(log), seconds);
  }

  std::vector<std::string> ports()
  {
    const CommandResult result = run({"jack_lsp"}, "jack_lsp.log", 10.0);
    std::vector<std::string> names;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
      names.push_back(line);
    return names;
  }

  bool waitForPort(const std::string& port, double seconds = 20.0)
  {
    return waitUntil(
      [&] {
        for (const std::string& p : ports())
          if (p == port)
            return true;
        return false;
      },
      seconds, 0.2);
  }

  bool connect(const std::string& from, const std::string& to)
  {
    return run({"jack_connect", from, to}, "connect.log", 10.0).status == 0;
  }

  std::string log() const { return mJackd->log(); }

private:
  const TempDir& mFiles;
  std::string mName;
  std::vector<std::string> mEnvironment;
  std::unique_ptr<ChildProcess> mJackd;
  std::vector<std::unique_ptr<ChildProcess>> mClients;
  bool mRunning = false;
};
