#include "services/midi_learn.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "services/profile_ini.h"

namespace {
constexpr const char* kFolderName = "TarnwellMusic";
constexpr const char* kFileName = "quennet.ini";
constexpr const char* kMidiSection = "MIDI Control";
constexpr const char* kEditorSection = "Editor";

// Creates `path` with `mode` exactly (whatever the process's umask), without touching the umask
// that the host process relies on.
bool makeFolder(const std::string& path, mode_t mode)
{
  if (mkdir(path.c_str(), mode) != 0)
    return false;
  chmod(path.c_str(), mode);
  return true;
}

// atoi's reading, with a leading "0" telling a real zero from text that is not a number.
bool readIndex(const char* text, int& value)
{
  const int parsed = std::atoi(text);
  if (parsed == 0 && text[0] != '0')
    return false;
  value = parsed;
  return true;
}
} // namespace

MidiLearnConfig::MidiLearnConfig()
{
  for (auto& entry : mControllerMap)
    entry.store(-1, std::memory_order_relaxed);
}

std::string MidiLearnConfig::homeFolder()
{
  if (const char* home = std::getenv("HOME"); home && *home)
    return home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir && *entry->pw_dir)
    return entry->pw_dir;
  return {};
}

void MidiLearnConfig::locate()
{
  for (auto& entry : mControllerMap)
    entry.store(-1, std::memory_order_relaxed);
  mConfigPath.clear();

  const std::string home = homeFolder();
  if (home.empty())
    return;  // no home folder: the settings live in memory only

  const std::string library = home + "/Library";
  const std::string support = library + "/Application Support";
  const std::string folder = support + "/" + kFolderName;
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    // Hosts on other systems than the one this layout comes from may lack the parent folders.
    if (stat(support.c_str(), &info) != 0) {
      mkdir(library.c_str(), 0777);
      mkdir(support.c_str(), 0777);
    }
    makeFolder(folder, 0774);
  }

  mConfigPath = folder + "/" + kFileName;
  if (stat(mConfigPath.c_str(), &info) != 0) {
    if (FILE* file = std::fopen(mConfigPath.c_str(), "w"))
      std::fclose(file);
    return;
  }
  loadConfig();
}

bool MidiLearnConfig::loadConfig()
{
  if (mConfigPath.empty())
    return true;
  const char* path = mConfigPath.c_str();
  for (int cc = 0; cc < kNumControllers; ++cc) {
    char key[16];
    std::snprintf(key, sizeof(key), "CC%i", cc);
    char text[64];
    if (GetPrivateProfileString(kMidiSection, key, "-1", text, sizeof(text), path) > 0) {
      int paramIdx = -1;
      if (!readIndex(text, paramIdx))
        paramIdx = -1;
      mControllerMap[static_cast<size_t>(cc)].store(paramIdx, std::memory_order_relaxed);
    }
  }
  char scale[1023];
  if (GetPrivateProfileString(kEditorSection, "Scale", "", scale, sizeof(scale), path) > 0)
    mPreferredScale.store(static_cast<float>(std::strtod(scale, nullptr)), std::memory_order_relaxed);
  else
    mPreferredScale.store(kDefaultScale, std::memory_order_relaxed);
  return true;
}

bool MidiLearnConfig::saveConfig()
{
  if (mConfigPath.empty())
    return true;
  const char* path = mConfigPath.c_str();
  WritePrivateProfileSection(kMidiSection, "\0", path);
  for (int cc = 0; cc < kNumControllers; ++cc) {
    const int paramIdx = mControllerMap[static_cast<size_t>(cc)].load(std::memory_order_relaxed);
    if (paramIdx == -1)
      continue;
    char key[16];
    char value[16];
    std::snprintf(key, sizeof(key), "CC%i", cc);
    std::snprintf(value, sizeof(value), "%i", paramIdx);
    WritePrivateProfileString(kMidiSection, key, value, path);
  }
  const float editorScale = mEditorScale.load(std::memory_order_relaxed);
  const float scale = editorScale > 0.0f ? editorScale : mPreferredScale.load(std::memory_order_relaxed);
  char text[64];
  std::snprintf(text, sizeof(text), "%f", static_cast<double>(scale));
  WritePrivateProfileString(kEditorSection, "Scale", text, path);
  return true;
}

void MidiLearnConfig::arm(bool unlearn, bool on)
{
  mLearnCC.store(-1, std::memory_order_relaxed);
  mLearnParam.store(-1, std::memory_order_relaxed);
  mUnlearn.store(unlearn, std::memory_order_relaxed);
  mLearnActive.store(on, std::memory_order_release);
}

void MidiLearnConfig::doMidiLearn(bool on) { arm(false, on); }
void MidiLearnConfig::doMidiUnlearn(bool on) { arm(true, on); }

void MidiLearnConfig::setMidiLearnParam(int paramIdx)
{
  mLearnParam.store(paramIdx, std::memory_order_relaxed);
  applyMidiLearn();
}

void MidiLearnConfig::setMidiLearnCC(int controller)
{
  mLearnCC.store(controller, std::memory_order_relaxed);
  applyMidiLearn();
}

int MidiLearnConfig::controllerParam(int controller) const
{
  if (controller < 0 || controller >= kNumControllers)
    return -1;
  return mControllerMap[static_cast<size_t>(controller)].load(std::memory_order_relaxed);
}

void MidiLearnConfig::setControllerParam(int controller, int paramIdx)
{
  if (controller >= 0 && controller < kNumControllers)
    mControllerMap[static_cast<size_t>(controller)].store(paramIdx, std::memory_order_relaxed);
}

bool MidiLearnConfig::applyMidiLearn()
{
  if (!mLearnActive.load(std::memory_order_acquire))
    return false;
  const int cc = mLearnCC.load(std::memory_order_relaxed);
  const int paramIdx = mLearnParam.load(std::memory_order_relaxed);
  const bool unlearn = mUnlearn.load(std::memory_order_relaxed);

  const bool ready = unlearn ? (cc != -1 || paramIdx != -1) : (cc != -1 && paramIdx != -1);
  if (!ready)
    return false;
  // Exactly one thread completes a learn, even if the CC and the parameter arrive together.
  bool expected = true;
  if (!mLearnActive.compare_exchange_strong(expected, false, std::memory_order_acq_rel))
    return false;

  auto forget = [this](int param) {
    for (auto& entry : mControllerMap)
      if (entry.load(std::memory_order_relaxed) == param)
        entry.store(-1, std::memory_order_relaxed);
  };
  if (unlearn) {
    if (cc != -1)
      setControllerParam(cc, -1);
    else
      forget(paramIdx);
    mUnlearn.store(false, std::memory_order_relaxed);
  } else {
    forget(paramIdx);
    setControllerParam(cc, paramIdx);
  }
  saveConfig();
  completed();
  return true;
}

void MidiLearnConfig::completed()
{
  mSwitchResetRequested.store(true, std::memory_order_release);
}
