// SPDX-License-Identifier: ISC
// Handing web pages to the browser: which addresses are handed on, that the program gets the
// address as one argument with no shell in between, that opening does not wait for it, what the
// program inherits, and that every finished child is collected.

#include "platform/BrowserLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "TempDir.h"

using plug::BrowserLauncher;

namespace {

std::string readFile(const std::string& path)
{
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A stand-in for xdg-open: writes the number of its arguments, its first argument, whether
// descriptor `watchedFd` is open in it, the signals its children ignore and what its standard input holds
// into ARGS (renamed into place when complete); then, when GATE is a FIFO, waits for a line on it.
struct FakeBrowser {
  explicit FakeBrowser(int watchedFd = 99)
      : program(dir.file("fake-xdg-open")), args(dir.file("args")), gate(dir.file("gate"))
  {
    std::ofstream script(program);
    script << "#!/bin/sh\n"
           << "{ echo \"$#\"; printf '%s\\n' \"$1\"; "
           << "if [ -e /proc/$$/fd/" << watchedFd << " ]; then echo fd-open; else echo fd-closed; fi; "
           << "grep '^SigIgn' /proc/self/status; cat; echo end-of-input; } > '" << args << ".tmp'\n"
           << "mv '" << args << ".tmp' '" << args << "'\n"
           << "if [ -p '" << gate << "' ]; then read line < '" << gate << "'; fi\n";
    script.close();
    chmod(program.c_str(), 0755);
  }

  bool ran() const { return std::filesystem::exists(args); }

  // Every launched child collected, within a deadline.
  static bool allReaped()
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (BrowserLauncher::ReapFinished() > 0) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  TempDir dir{"quennet-browser"};
  std::string program;
  std::string args;
  std::string gate;
};

} // namespace

TEST(BrowserLauncher, OnlyHttpAndHttpsAddressesAreWebAddresses)
{
  struct Case {
    const char* url;
    bool web;
  };
  const Case cases[] = {
    {"https://tarnwellmusic.example/", true},
    {"http://tarnwellmusic.example", true},
    {"HTTPS://Example.com/Path?q=1#top", true},
    {"http://127.0.0.1:8080/x", true},
    {"https://example.com/%20space", true},
    {"file:///etc/passwd", false},
    {"javascript:alert(1)", false},
    {"ftp://example.com/", false},
    {"/usr/bin/xterm", false},
    {"example.com", false},
    {"https:example.com", false},
    {"https://", false},
    {"https:///etc/passwd", false},
    {"https://?q", false},
    {"https://example.com/a b", false},
    {"https://example.com/\n--help", false},
    {"https://example.com/\x7f", false},
    {"https://example.com/caf\xc3\xa9", false},
    {"", false},
    {nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url ? c.url : "(null)");
    EXPECT_EQ(BrowserLauncher::IsWebAddress(c.url), c.web);
  }
  const std::string longest = "https://example.com/" + std::string(BrowserLauncher::kMaxLength - 20, 'a');
  EXPECT_TRUE(BrowserLauncher::IsWebAddress(longest.c_str()));
  EXPECT_FALSE(BrowserLauncher::IsWebAddress((longest + "a").c_str()));
}

TEST(BrowserLauncher, TheAddressArrivesAsOneArgumentNoShellReadsIt)
{
  FakeBrowser fake;
  const std::string trap = fake.dir.file("pwned");
  const std::string url = "https://example.com/?q=$(touch${IFS}" + trap + ")&x=`touch${IFS}" + trap + "`;touch|" + trap;
  ASSERT_TRUE(BrowserLauncher(fake.program).Open(url.c_str()));
  ASSERT_TRUE(FakeBrowser::allReaped());
  ASSERT_TRUE(fake.ran());
  std::istringstream lines(readFile(fake.args));
  std::string count, first;
  std::getline(lines, count);
  std::getline(lines, first);
  EXPECT_EQ(count, "1");
  EXPECT_EQ(first, url);
  EXPECT_FALSE(std::filesystem::exists(trap)) << "nothing in the address ran";
}

TEST(BrowserLauncher, RefusedAddressesStartNothing)
{
  FakeBrowser fake;
  BrowserLauncher launcher(fake.program);
  for (const char* url : {"file:///etc/passwd", "javascript:alert(1)", "https://example.com/a b", ""}) {
    SCOPED_TRACE(url);
    EXPECT_FALSE(launcher.Open(url));
  }
  EXPECT_EQ(BrowserLauncher::ReapFinished(), 0);
  EXPECT_FALSE(fake.ran());
}

TEST(BrowserLauncher, AMissingProgramIsAFailureNotAChild)
{
  TempDir dir;
  EXPECT_FALSE(BrowserLauncher(dir.file("no-such-program")).Open("https://example.com/"));
  EXPECT_EQ(BrowserLauncher::ReapFinished(), 0);
}

TEST(BrowserLauncher, OpeningReturnsWhileTheBrowserRunsAndItIsCollectedAfterwards)
{
  FakeBrowser fake;
  ASSERT_EQ(mkfifo(fake.gate.c_str(), 0600), 0);
  // The fake waits for a line on the gate, which is written only after Open has returned: an Open
  // that waited for its child would never return.
  ASSERT_TRUE(BrowserLauncher(fake.program).Open("https://example.com/"));
  EXPECT_EQ(BrowserLauncher::ReapFinished(), 1) << "still running";
  {
    std::ofstream gate(fake.gate);
    gate << "go\n";
  }
  EXPECT_TRUE(FakeBrowser::allReaped());
  int status = 0;
  errno = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child left, not even a zombie";
  EXPECT_EQ(errno, ECHILD);
}

TEST(BrowserLauncher, TheBrowserInheritsNoHostFilesIgnoredSignalsOrInput)
{
  // A descriptor the host left open without close-on-exec, and signals it ignores (an ignored
  // signal stays ignored across exec, unlike a handler).
  const int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  FakeBrowser fake(leaked);
  struct sigaction ignore {
  }, oldPipe{}, oldUsr1{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigaction(SIGUSR1, &ignore, &oldUsr1);
  const bool opened = BrowserLauncher(fake.program).Open("https://example.com/");
  sigaction(SIGPIPE, &oldPipe, nullptr);
  sigaction(SIGUSR1, &oldUsr1, nullptr);
  close(leaked);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(FakeBrowser::allReaped());
  const std::string report = readFile(fake.args);
  EXPECT_NE(report.find("fd-closed"), std::string::npos) << report;
  const std::size_t at = report.find("SigIgn:\t");
  ASSERT_NE(at, std::string::npos) << report;
  const unsigned long long ignored = std::stoull(report.substr(at + 8, 16), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << report;
  EXPECT_EQ(ignored & (1ull << (SIGUSR1 - 1)), 0u) << report;
  EXPECT_NE(report.find("\nend-of-input"), std::string::npos) << "standard input is empty: " << report;
}

TEST(BrowserLauncher, TheDefaultProgramIsXdgOpenFromThePath)
{
  FakeBrowser fake;
  const std::filesystem::path xdgOpen = fake.dir.path() / "xdg-open";
  std::filesystem::copy_file(fake.program, xdgOpen);
  const char* oldPath = getenv("PATH");
  const std::string saved = oldPath ? oldPath : "";
  setenv("PATH", (fake.dir.path().string() + ":" + saved).c_str(), 1);
  const bool opened = BrowserLauncher().Open("https://example.com/");
  setenv("PATH", saved.c_str(), 1);
  ASSERT_TRUE(opened);
  ASSERT_TRUE(FakeBrowser::allReaped());
  EXPECT_TRUE(fake.ran());
}
