// SPDX-License-Identifier: ISC
#include "services/midi_learn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Files.h"
#include "TempHome.h"

using namespace quennet;

namespace fs = std::filesystem;

namespace {

std::vector<std::string> listTree(const std::string& root)
{
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(entry.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

// A configuration located in a fresh temporary home whose file holds `content` beforehand.
struct Located {
  TempHome home;
  MidiLearnConfig config;

  explicit Located(const std::string* content = nullptr)
  {
    if (content)
      writeFile(home.configFile(), *content);
    config.locate();
  }
  std::string file() const { return readFile(home.configFile()); }
};

// Set HOME or XDG_CONFIG_HOME until the enclosing TempHome restores them.
void setHome(const std::string& value)
{
  setenv("HOME", value.c_str(), 1);
}
void setConfigHome(const std::string& value)
{
  setenv("XDG_CONFIG_HOME", value.c_str(), 1);
}

mode_t modeOf(const std::string& path)
{
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

// ---- location -----------------------------------------------------------------------------------

TEST(MidiLearnConfigLocation, FreshInstallCreatesFolderWithMode0774AndEmptyFileKeepingTheUmask)
{
  TempHome home;
  const mode_t previous = umask(022); // a typical host umask, which would turn 0774 into 0754
  MidiLearnConfig config;
  config.locate();
  const mode_t during = umask(previous);

  EXPECT_EQ(during, 022u) << "the host's umask must stay untouched";
  const std::string folder = home.path() + "/.config/TarnwellMusic";
  EXPECT_EQ(home.configFolder(), folder);
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0774u);
  EXPECT_EQ(modeOf(home.path() + "/.config"), 0700u) << "a configuration folder made here is private";

  EXPECT_EQ(config.configPath(), folder + "/quennet.ini");
  ASSERT_TRUE(fs::is_regular_file(home.configFile()));
  EXPECT_EQ(fs::file_size(home.configFile()), 0u);
  EXPECT_EQ(listTree(home.path()),
            (std::vector<std::string>{".config", ".config/TarnwellMusic", ".config/TarnwellMusic/quennet.ini"}))
    << "nothing else appears in the home folder";

  for (int cc = 0; cc < MidiLearnConfig::kNumControllers; ++cc)
    EXPECT_EQ(config.controllerParam(cc), -1) << "CC " << cc;
  EXPECT_EQ(config.preferredScale(), 0.5f);
  EXPECT_FALSE(config.learnActive());

  // A second instance finds the empty file, loads it and writes nothing.
  MidiLearnConfig second;
  second.locate();
  EXPECT_EQ(second.configPath(), home.configFile());
  EXPECT_EQ(fs::file_size(home.configFile()), 0u);
  EXPECT_EQ(second.preferredScale(), 0.5f);
}

TEST(MidiLearnConfigLocation, ExistingFoldersKeepTheirModes)
{
  TempHome home;
  fs::create_directories(home.configFolder());
  chmod((home.path() + "/.config").c_str(), 0755);
  chmod(home.configFolder().c_str(), 0700);
  MidiLearnConfig config;
  config.locate();
  EXPECT_EQ(modeOf(home.path() + "/.config"), 0755u);
  EXPECT_EQ(modeOf(home.configFolder()), 0700u);
  EXPECT_TRUE(fs::is_regular_file(home.configFile()));
}

// The file's place follows XDG_CONFIG_HOME when that is an absolute path; otherwise (unset, empty,
// relative) it is ~/.config. Missing levels of the configuration folder are made with mode 0700.
TEST(MidiLearnConfigLocation, ConfigurationFolderFollowsXdgConfigHome)
{
  struct Case {
    const char* name;
    std::function<void(const std::string& root)> prepare; // sets the environment below `root`
    const char* expectedFolder; // relative to `root`
    std::vector<const char*> madePrivate; // folders made on the way, relative to `root`
  };
  const std::vector<Case> cases = {
    {"unset", [](const std::string&) {}, "home/.config", {"home/.config"}},
    {"empty", [](const std::string&) { setConfigHome(""); }, "home/.config", {"home/.config"}},
    {"relative",
     [](const std::string&) { setConfigHome("quennet-relative-config"); },
     "home/.config",
     {"home/.config"}},
    {"absolute and present",
     [](const std::string& root) {
       fs::create_directories(root + "/xdg");
       setConfigHome(root + "/xdg");
     },
     "xdg",
     {}},
    {"absolute with trailing slashes",
     [](const std::string& root) {
       fs::create_directories(root + "/xdg");
       setConfigHome(root + "/xdg//");
     },
     "xdg",
     {}},
    {"absolute and missing two levels",
     [](const std::string& root) { setConfigHome(root + "/new/config"); },
     "new/config",
     {"new", "new/config"}},
    {"absolute, with HOME unset",
     [](const std::string& root) {
       unsetenv("HOME");
       fs::create_directories(root + "/xdg");
       setConfigHome(root + "/xdg");
     },
     "xdg",
     {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome root;
    fs::create_directories(root.path() + "/home");
    setHome(root.path() + "/home");
    c.prepare(root.path());

    const std::string folder = root.path() + "/" + c.expectedFolder;
    EXPECT_EQ(MidiLearnConfig::configHome(), folder);
    MidiLearnConfig config;
    config.locate();
    EXPECT_EQ(config.configPath(), folder + "/TarnwellMusic/quennet.ini");
    EXPECT_TRUE(fs::is_regular_file(folder + "/TarnwellMusic/quennet.ini"));
    EXPECT_EQ(modeOf(folder + "/TarnwellMusic"), 0774u);
    for (const char* made : c.madePrivate)
      EXPECT_EQ(modeOf(root.path() + "/" + made), 0700u) << made;
    EXPECT_FALSE(fs::exists(root.path() + "/home/Library"));
    EXPECT_FALSE(fs::exists("quennet-relative-config")) << "nothing is made relative to the working folder";

    // The path is the one the file is written to.
    config.setControllerParam(4, 9);
    config.saveConfig();
    EXPECT_EQ(readFile(config.configPath()), "[Editor]\nScale=0.500000\n\n[MIDI Control]\nCC4=9\n\n");
  }
}

TEST(MidiLearnConfigLocation, HomeUnsetOrEmptyFallsBackToThePasswordDatabase)
{
  TempHome home; // restores HOME afterwards
  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr) << "this machine's user has no password entry";
  const std::string expected = entry->pw_dir;

  setHome(home.path());
  EXPECT_EQ(MidiLearnConfig::homeFolder(), home.path());
  unsetenv("HOME");
  EXPECT_EQ(MidiLearnConfig::homeFolder(), expected);
  EXPECT_EQ(MidiLearnConfig::configHome(), expected + "/.config");
  setHome("");
  EXPECT_EQ(MidiLearnConfig::homeFolder(), expected);
  setConfigHome("relative");
  EXPECT_EQ(MidiLearnConfig::configHome(), expected + "/.config");
}

// A home where the folder or the file cannot exist: the settings stay in memory, nothing is
// written anywhere, and learning still works.
TEST(MidiLearnConfigLocation, UnusableHomeKeepsSettingsInMemoryOnly)
{
  struct Case {
    const char* name;
    std::function<std::string(const std::string& root)> prepare; // returns the HOME to use
  };
  const std::vector<Case> cases = {
    {"HOME is a regular file",
     [](const std::string& root) {
       writeFile(root + "/notadir", "x");
       return root + "/notadir";
     }},
    {"HOME lies below a regular file",
     [](const std::string& root) {
       writeFile(root + "/notadir", "x");
       return root + "/notadir/home";
     }},
    {"HOME does not exist", [](const std::string& root) { return root + "/missing/home"; }},
    {".config is a regular file",
     [](const std::string& root) {
       writeFile(root + "/home/.config", "x");
       return root + "/home";
     }},
    {"XDG_CONFIG_HOME lies below a regular file",
     [](const std::string& root) {
       writeFile(root + "/notadir", "x");
       setConfigHome(root + "/notadir/config");
       fs::create_directories(root + "/home");
       return root + "/home";
     }},
    {"the TarnwellMusic folder is a regular file",
     [](const std::string& root) {
       writeFile(root + "/home/.config/TarnwellMusic", "x");
       return root + "/home";
     }},
    {"quennet.ini is a folder",
     [](const std::string& root) {
       fs::create_directories(root + "/home/.config/TarnwellMusic/quennet.ini");
       return root + "/home";
     }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempHome root;
    setHome(c.prepare(root.path()));
    const std::vector<std::string> before = listTree(root.path());

    MidiLearnConfig config;
    config.locate();
    EXPECT_TRUE(config.configPath().empty());
    config.doMidiLearn(true);
    config.setMidiLearnParam(7);
    EXPECT_TRUE(config.setMidiLearnCC(20));
    EXPECT_EQ(config.controllerParam(20), 7);
    EXPECT_TRUE(config.saveConfig());
    EXPECT_TRUE(config.loadConfig());
    EXPECT_EQ(config.controllerParam(20), 7);

    EXPECT_EQ(listTree(root.path()), before);
    if (fs::is_regular_file(root.path() + "/notadir")) {
      EXPECT_EQ(readFile(root.path() + "/notadir"), "x");
    }
  }
}

// With no home at all (HOME unset and no password entry) nothing is located and nothing crashes.
// Needs a user without a password entry, which only the superuser can become.
TEST(MidiLearnConfigLocation, NoHomeAtAllKeepsSettingsInMemoryOnly)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to run as a user without a password entry";
  uid_t unmapped = 40000;
  while (getpwuid(unmapped) != nullptr)
    ++unmapped;

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Exit codes say which check failed; no test framework calls in the child.
    unsetenv("HOME");
    unsetenv("XDG_CONFIG_HOME");
    if (setgid(unmapped) != 0 || setuid(unmapped) != 0)
      _exit(10);
    if (!MidiLearnConfig::homeFolder().empty())
      _exit(11);
    MidiLearnConfig config;
    config.locate();
    if (!config.configPath().empty())
      _exit(12);
    config.doMidiUnlearn(true);
    config.doMidiLearn(true);
    config.setMidiLearnCC(3);
    if (!config.setMidiLearnParam(5) || config.controllerParam(3) != 5)
      _exit(13);
    if (!config.saveConfig() || !config.loadConfig() || config.preferredScale() != 0.5f)
      _exit(14);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child crashed";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- loading ------------------------------------------------------------------------------------

TEST(MidiLearnConfigLoad, ControllerValuesAsAtoiReadsThem)
{
  struct Case {
    int cc;
    const char* stored;
    int expected;
  };
  const std::vector<Case> cases = {
    {5, "abc", -1}, // not a number
    {6, "0", 0}, // a real zero assigns parameter 0
    {7, "99", 99}, // loads, and is ignored at use
    {8, "7", 7},       {9, " 12 ", 12}, // the store trims blanks
    {10, "12abc", 12}, // leading number
    {11, "0x10", 0}, // starts with 0
    {12, "-0", -1}, // zero without a leading '0'
    {13, "-1", -1},    {14, "-5", -5},  {15, "28", 28}, {16, "4294967303", INT_MAX}, // 2^32 + 7 must not wrap to 7
    {17, "\"3\"", 3}, // quotes removed by the store
  };
  std::string content = "[MIDI Control]\n";
  for (const Case& c : cases)
    content += "CC" + std::to_string(c.cc) + "=" + c.stored + "\n";
  content += "CC119=2\nCC120=4\n";
  Located located(&content);
  const MidiLearnConfig& config = located.config;

  for (const Case& c : cases)
    EXPECT_EQ(config.controllerParam(c.cc), c.expected) << "CC" << c.cc << "=" << c.stored;
  EXPECT_EQ(config.controllerParam(119), 2);
  EXPECT_EQ(config.controllerParam(4), -1); // missing key
  EXPECT_EQ(config.controllerParam(120), -1); // not a learnable controller
  EXPECT_EQ(config.preferredScale(), 0.5f); // no Editor section
  EXPECT_EQ(located.file(), content) << "loading writes nothing";
}

TEST(MidiLearnConfigLoad, EmptyStoredValueLeavesTheEntryAsItWas)
{
  const std::string content = "[MIDI Control]\nCC5=\nCC6=abc\n";
  Located located(&content);
  MidiLearnConfig& config = located.config;
  EXPECT_EQ(config.controllerParam(5), -1);
  config.setControllerParam(5, 9);
  config.setControllerParam(6, 9);
  config.loadConfig();
  EXPECT_EQ(config.controllerParam(5), 9);
  EXPECT_EQ(config.controllerParam(6), -1);
}

TEST(MidiLearnConfigLoad, ScaleParsing)
{
  struct Case {
    const char* editorSection; // null: no Editor section
    float expected;
  };
  const std::vector<Case> cases = {
    {nullptr, 0.5f},     {"Scale=0.75", 0.75f}, {"scale=1.500000", 1.5f}, // keys match case-insensitively
    {"Scale=", 0.5f}, // empty: the default
    {"Other=2", 0.5f},   {"Scale=abc", 0.0f}, // not a number
    {"Scale=2x", 2.0f}, // leading number
    {"Scale=0.1", 0.1f}, {"Scale=nan", 0.0f}, // no window has such a scale: counts as no number
    {"Scale=inf", 0.0f}, {"Scale=1e40", 0.0f}, // beyond float
  };
  for (const Case& c : cases) {
    const std::string content = c.editorSection ? std::string("[Editor]\n") + c.editorSection + "\n" : "[x]\n";
    SCOPED_TRACE(content);
    Located located(&content);
    EXPECT_EQ(located.config.preferredScale(), c.expected);
  }
}

// ---- saving -------------------------------------------------------------------------------------

TEST(MidiLearnConfigSave, WritesAssignedControllersAndTheScale)
{
  const std::string content = "[zeta]\nkeep=me\n[MIDI Control]\nCC50=3\nCC3=1\n[Editor]\nScale=0.75\nWidth=10\n";
  Located located(&content);
  MidiLearnConfig& config = located.config;
  EXPECT_EQ(config.preferredScale(), 0.75f);

  config.setControllerParam(50, -1);
  config.setControllerParam(3, 7);
  config.setControllerParam(20, 7);
  config.setControllerParam(0, 0);
  config.setControllerParam(119, 28);
  config.setControllerParam(44, 99); // out of range, but kept like the file had it
  EXPECT_TRUE(config.saveConfig());
  // Sorted case-insensitively; the old CC50 key is gone; other sections and keys stay.
  EXPECT_EQ(located.file(),
            "[Editor]\nScale=0.750000\nWidth=10\n\n"
            "[MIDI Control]\nCC0=0\nCC119=28\nCC20=7\nCC3=7\nCC44=99\n\n"
            "[zeta]\nkeep=me\n\n");

  // The open editor's draw scale wins over the preferred scale.
  config.setEditorScale(1.25f);
  config.saveConfig();
  EXPECT_NE(located.file().find("Scale=1.250000\n"), std::string::npos);
  config.setEditorScale(0.0f);
  config.saveConfig();
  EXPECT_NE(located.file().find("Scale=0.750000\n"), std::string::npos);

  // Every controller assigned: the longest list the section can get.
  for (int cc = 0; cc < MidiLearnConfig::kNumControllers; ++cc)
    config.setControllerParam(cc, INT_MIN + cc);
  config.saveConfig();
  MidiLearnConfig reread;
  reread.locate();
  for (int cc = 0; cc < MidiLearnConfig::kNumControllers; ++cc)
    EXPECT_EQ(reread.controllerParam(cc), INT_MIN + cc) << "CC " << cc;
}

TEST(MidiLearnConfigSave, NoAssignedControllerKeepsAnExistingSectionEmptyAndCreatesNoneOtherwise)
{
  {
    SCOPED_TRACE("section existed");
    const std::string content = "[MIDI Control]\nCC5=2\n";
    Located located(&content);
    located.config.setControllerParam(5, -1);
    located.config.saveConfig();
    EXPECT_EQ(located.file(), "[Editor]\nScale=0.500000\n\n[MIDI Control]\n\n");
  }
  {
    SCOPED_TRACE("fresh install");
    Located located;
    located.config.saveConfig();
    EXPECT_EQ(located.file(), "[Editor]\nScale=0.500000\n\n");
  }
}

// ---- the learn state machine --------------------------------------------------------------------

namespace {
enum class Step { Learn, Unlearn, Param, CC };
struct Action {
  Step step;
  int value = 0;
};
} // namespace

TEST(MidiLearnStateMachine, Table)
{
  const std::string kHeader = "[Editor]\nScale=0.500000\n\n[MIDI Control]\n";
  struct Case {
    const char* name;
    const char* before; // file content before
    std::vector<Action> actions;
    bool completes; // the last action completes; every earlier one does not
    const char* after; // expected "MIDI Control" keys when completed
  };
  const std::vector<Case> cases = {
    {"learn: parameter then CC; the old CC of that parameter goes",
     "[MIDI Control]\nCC3=7\n",
     {{Step::Learn}, {Step::Param, 7}, {Step::CC, 20}},
     true,
     "CC20=7\n"},
    {"learn: CC then parameter",
     "[MIDI Control]\nCC3=7\n",
     {{Step::Learn}, {Step::CC, 20}, {Step::Param, 7}},
     true,
     "CC20=7\n"},
    {"learn: a second CC replaces the first",
     "",
     {{Step::Learn}, {Step::CC, 20}, {Step::CC, 21}, {Step::Param, 2}},
     true,
     "CC21=2\n"},
    {"learn: a second parameter replaces the first",
     "[MIDI Control]\nCC9=5\n",
     {{Step::Learn}, {Step::Param, 5}, {Step::Param, 2}, {Step::CC, 20}},
     true,
     "CC20=2\nCC9=5\n"},
    {"learn: a CC already assigned elsewhere is reassigned",
     "[MIDI Control]\nCC20=3\nCC4=3\n",
     {{Step::Learn}, {Step::Param, 28}, {Step::CC, 20}},
     true,
     "CC20=28\nCC4=3\n"},
    {"learn: every CC of the parameter goes, from the file's several",
     "[MIDI Control]\nCC1=6\nCC2=6\nCC3=6\n",
     {{Step::Learn}, {Step::CC, 119}, {Step::Param, 6}},
     true,
     "CC119=6\n"},
    {"learn: a CC alone waits", "", {{Step::Learn}, {Step::CC, 20}}, false, nullptr},
    {"learn: a parameter alone waits", "", {{Step::Learn}, {Step::Param, 7}}, false, nullptr},
    {"unlearn by CC", "[MIDI Control]\nCC20=7\nCC21=7\n", {{Step::Unlearn}, {Step::CC, 20}}, true, "CC21=7\n"},
    {"unlearn by parameter",
     "[MIDI Control]\nCC20=7\nCC21=7\nCC22=3\n",
     {{Step::Unlearn}, {Step::Param, 7}},
     true,
     "CC22=3\n"},
    {"unlearn of an unassigned CC still completes",
     "[MIDI Control]\nCC21=7\n",
     {{Step::Unlearn}, {Step::CC, 30}},
     true,
     "CC21=7\n"},
    {"captures are cleared when re-armed",
     "",
     {{Step::Learn}, {Step::CC, 20}, {Step::Learn}, {Step::Param, 7}},
     false,
     nullptr},
    {"switching to unlearn forgets learn's capture",
     "[MIDI Control]\nCC21=7\n",
     {{Step::Learn}, {Step::Param, 4}, {Step::Unlearn}, {Step::CC, 21}},
     true,
     ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = c.before;
    Located located(before.empty() ? nullptr : &before);
    MidiLearnConfig& config = located.config;
    const std::string initial = located.file();

    for (size_t i = 0; i < c.actions.size(); ++i) {
      const Action& a = c.actions[i];
      bool completed = false;
      switch (a.step) {
        case Step::Learn: config.doMidiLearn(true); break;
        case Step::Unlearn: config.doMidiUnlearn(true); break;
        case Step::Param: completed = config.setMidiLearnParam(a.value); break;
        case Step::CC: completed = config.setMidiLearnCC(a.value); break;
      }
      const bool last = i + 1 == c.actions.size();
      EXPECT_EQ(completed, last && c.completes) << "action " << i;
    }
    EXPECT_EQ(config.learnActive(), !c.completes);
    EXPECT_EQ(config.switchResetRequested(), c.completes);
    if (c.completes) {
      EXPECT_FALSE(config.unlearnMode());
      EXPECT_EQ(located.file(), kHeader + c.after + "\n");
      // The map in memory is what the file says.
      MidiLearnConfig reread;
      reread.locate();
      for (int cc = 0; cc < MidiLearnConfig::kNumControllers; ++cc)
        EXPECT_EQ(reread.controllerParam(cc), config.controllerParam(cc)) << "CC " << cc;
      EXPECT_TRUE(config.takeSwitchResetRequest());
      EXPECT_FALSE(config.switchResetRequested());
    } else {
      EXPECT_EQ(located.file(), initial) << "nothing is saved while armed";
    }
  }
}

TEST(MidiLearnStateMachine, ArmAndDisarmSaveNothingAndDisarmedCapturesDoNothing)
{
  const std::string content = "[MIDI Control]\nCC3=7\n";
  Located located(&content);
  MidiLearnConfig& config = located.config;
  const auto stamp = fs::last_write_time(located.home.configFile());

  config.doMidiLearn(true);
  EXPECT_TRUE(config.learnActive());
  EXPECT_FALSE(config.unlearnMode());
  EXPECT_EQ(config.learnCC(), -1);
  EXPECT_EQ(config.learnParam(), -1);
  config.setMidiLearnCC(20);
  config.doMidiLearn(false);
  EXPECT_FALSE(config.learnActive());
  EXPECT_EQ(config.learnCC(), -1) << "disarming clears the captures";
  config.doMidiUnlearn(true);
  EXPECT_TRUE(config.unlearnMode());
  config.doMidiUnlearn(false);
  EXPECT_FALSE(config.learnActive());

  EXPECT_FALSE(config.setMidiLearnCC(3));
  EXPECT_FALSE(config.setMidiLearnParam(7));
  EXPECT_FALSE(config.applyMidiLearn());
  EXPECT_EQ(config.controllerParam(3), 7);
  EXPECT_FALSE(config.switchResetRequested());
  EXPECT_EQ(located.file(), content);
  EXPECT_EQ(fs::last_write_time(located.home.configFile()), stamp);
}

// A controller on the audio thread and a parameter on another thread arriving together complete
// the learn exactly once: never twice, never not at all. The settings live in memory here so
// that the threads meet as often as possible.
TEST(MidiLearnStateMachine, CompletesExactlyOnceWhenCCAndParameterArriveTogether)
{
  TempHome root;
  writeFile(root.path() + "/notadir", "x");
  setHome(root.path() + "/notadir");
  MidiLearnConfig config;
  config.locate();
  ASSERT_TRUE(config.configPath().empty());

  int wrongCount = 0;
  int notCompleted = 0;
  for (int i = 0; i < 2000; ++i) {
    const int cc = i % MidiLearnConfig::kNumControllers;
    const int param = i % 29;
    config.doMidiLearn(true);
    std::atomic<int> ready{0};
    bool byCC = false;
    bool byParam = false;
    std::thread audio([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      byCC = config.setMidiLearnCC(cc);
    });
    std::thread ui([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      byParam = config.setMidiLearnParam(param);
    });
    audio.join();
    ui.join();
    if (byCC + byParam != 1)
      ++wrongCount;
    if (config.learnActive() || config.controllerParam(cc) != param)
      ++notCompleted;
  }
  EXPECT_EQ(wrongCount, 0) << "completions that did not happen exactly once";
  EXPECT_EQ(notCompleted, 0);
}
