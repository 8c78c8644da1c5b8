// SPDX-License-Identifier: ISC
#pragma once

// Real processes for the host tests (lv2file, jalv, a private JACK server and its clients): each
// child runs in a process group of its own with its output in a log file, and is stopped with its
// whole group when the object goes, so a failing test leaves nothing running. A test process that
// dies without cleaning up (a fault, an exit from an X error handler) takes its children with it:
// each is sent SIGTERM when the thread that started it ends (PR_SET_PDEATHSIG), so start them from
// the test's own thread. Every wait has a deadline.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class ChildProcess {
public:
  // `env` holds "NAME=value" entries added to this process's environment for the child, in place of
  // this process's own entries of those names.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string logPath,
               bool pipeStdin = false)
      : mLogPath(std::move(logPath))
  {
    int stdinPipe[2] = {-1, -1};
    if (pipeStdin && pipe(stdinPipe) != 0)
      return;
    // Everything the child needs is prepared before fork: only async-signal-safe calls after it.
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int log = open(mLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // The given entries replace this process's entries of the same name (the first of two would win).
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      if (std::none_of(env.begin(), env.end(),
                       [&](const std::string& given) { return nameOf(given) == nameOf(entry); }))
        environment.push_back(entry);
    }
    for (const std::string& e : env)
      environment.push_back(e);
    std::vector<char*> envp;
    for (const std::string& e : environment)
      envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const pid_t parent = getpid();
    mPid = fork();
    if (mPid == 0) {
      // Ends with the test, however the test ends; a test that ended before this line was reached
      // has another parent by now.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent)
        _exit(127);
      setpgid(0, 0);
      const int devNull = open("/dev/null", O_RDONLY);
      dup2(pipeStdin ? stdinPipe[0] : devNull, 0);
      if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
      }
      if (pipeStdin) {
        close(stdinPipe[0]);
        close(stdinPipe[1]);
      }
      execvpe(args[0], args.data(), envp.data());
      _exit(127);
    }
    if (mPid > 0)
      setpgid(mPid, mPid); // also here, so that a stop right after the fork reaches the group
    if (log >= 0)
      close(log);
    if (pipeStdin) {
      close(stdinPipe[0]);
      mStdin = stdinPipe[1];
      fcntl(mStdin, F_SETFD, FD_CLOEXEC);
    }
  }

  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return mPid > 0; }
  pid_t pid() const { return mPid; }
  bool running() { return started() && !mStatus && !poll(); }

  void write(const std::string& text)
  {
    if (mStdin >= 0) {
      const ssize_t written = ::write(mStdin, text.data(), text.size());
      (void)written;
    }
  }
  void closeStdin()
  {
    if (mStdin >= 0)
      close(mStdin);
    mStdin = -1;
  }

  // The exit status (128 + signal when killed), or nothing when still running after `seconds`.
  std::optional<int> waitExit(double seconds)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (started() && !mStatus && !poll()) {
      if (std::chrono::steady_clock::now() >= deadline)
        return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return mStatus;
  }

  // SIGTERM to the whole group; SIGKILL after three seconds.
  void stop()
  {
    closeStdin();
    if (!started() || mStatus)
      return;
    kill(-mPid, SIGTERM);
    if (!waitExit(3.0)) {
      kill(-mPid, SIGKILL);
      waitExit(3.0);
    }
    kill(-mPid, SIGKILL); // whatever the child left behind in its group
  }

  std::string log() const
  {
    std::ifstream file(mLogPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

private:
  bool poll()
  {
    int status = 0;
    if (waitpid(mPid, &status, WNOHANG) != mPid)
      return false;
    mStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  std::string mLogPath;
  pid_t mPid = -1;
  int mStdin = -1;
  std::optional<int> mStatus;
};

struct CommandResult {
  std::optional<int> status; // nothing: timed out (and killed)
  std::string output; // standard output and error together
};

// Runs a program to its end, at most `seconds`.
inline CommandResult runCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                                const std::string& logPath, double seconds = 60.0)
{
  ChildProcess child(argv, env, logPath);
  CommandResult result;
  result.status = child.waitExit(seconds);
  child.stop();
  result.output = child.log();
  return result;
}

// Polls a condition on other processes every `pollSeconds` until it holds or `seconds` pass.
inline bool waitUntil(const std::function<bool()>& condition, double seconds, double pollSeconds = 0.05)
{
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(pollSeconds));
  }
  return true;
}
