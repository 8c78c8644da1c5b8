// SPDX-License-Identifier: ISC
#include "services/midi_learn.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "services/profile_ini.h"

namespace quennet {

namespace {
constexpr const char* kFolderName = "TarnwellMusic";
constexpr const char* kFileName = "quennet.ini";
constexpr const char* kMidiSection = "MIDI Control";
constexpr const char* kEditorSection = "Editor";

// Creates `path` with `mode` exactly (whatever the process's umask), without touching the umask
// that the host process relies on.
void makeFolder(const std::string& path, mode_t mode)
{
  if (mkdir(path.c_str(), mode) == 0)
    chmod(path.c_str(), mode);
}

// Makes every missing level of the absolute `path` with `mode` exactly.
void makeFolders(const std::string& path, mode_t mode)
{
  struct stat info {};
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string level = path.substr(0, end);
    if (stat(level.c_str(), &info) != 0)
      makeFolder(level, mode);
    if (end == std::string::npos)
      return;
  }
}

// XDG_CONFIG_HOME when it names a folder; a relative or empty value is to be ignored, as if it
// were unset.
const char* absoluteXdgConfigHome()
{
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  return xdg && xdg[0] == '/' ? xdg : nullptr;
}

// "/a/b" and "name" -> "/a/b/name"; "/" and "name" -> "/name".
std::string inFolder(const std::string& folder, const char* name)
{
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool isFolder(const std::string& path)
{
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The stored index as atoi reads it (leading blanks, sign, decimal digits), with a leading '0'
// telling a real zero from text that is not a number. Numbers beyond int saturate instead of
// wrapping, so that no overlong text can alias a valid index; they are ignored at use.
bool readIndex(const char* text, int& value)
{
  const long parsed = std::strtol(text, nullptr, 10);
  if (parsed == 0 && text[0] != '0')
    return false;
  value = parsed > INT_MAX ? INT_MAX : parsed < INT_MIN ? INT_MIN : static_cast<int>(parsed);
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
  // getpwuid_r: the host may use the password database on other threads.
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || !found || !found->pw_dir || !*found->pw_dir)
      return {};
    return found->pw_dir;
  }
}

std::string MidiLearnConfig::configHome()
{
  if (const char* xdg = absoluteXdgConfigHome()) {
    std::string folder = xdg;
    while (folder.size() > 1 && folder.back() == '/')
      folder.pop_back();
    return folder;
  }
  const std::string home = homeFolder();
  return home.empty() ? std::string() : inFolder(home, ".config");
}

void MidiLearnConfig::locate()
{
  for (auto& entry : mControllerMap)
    entry.store(-1, std::memory_order_relaxed);
  mPreferredScale.store(kDefaultScale, std::memory_order_relaxed);
  mConfigPath.clear();

  const bool named = absoluteXdgConfigHome() != nullptr;
  const std::string base = configHome();
  if (base.empty())
    return;

  const std::string folder = inFolder(base, kFolderName);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    // A fresh account may not have its configuration folder yet: it is made private, a named one
    // with any missing parents, ~/.config only inside an existing home folder.
    if (named)
      makeFolders(base, 0700);
    else
      makeFolder(base, 0700);
    makeFolder(folder, 0774);
  }
  if (!isFolder(folder))
    return; // unusable configuration folder (not a folder, not writable): memory only

  const std::string path = inFolder(folder, kFileName);
  if (stat(path.c_str(), &info) != 0) {
    // "a": creates the file like "w" but never empties one that another process just made.
    FILE* file = std::fopen(path.c_str(), "a");
    if (!file)
      return; // memory only
    std::fclose(file);
    mConfigPath = path;
    return;
  }
  if (!S_ISREG(info.st_mode))
    return; // a folder or a device where the file belongs: memory only
  mConfigPath = path;
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
  char text[1023];
  float scale = kDefaultScale;
  if (GetPrivateProfileString(kEditorSection, "Scale", "", text, sizeof(text), path) > 0) {
    scale = static_cast<float>(std::strtod(text, nullptr));
    // "nan", "inf" or a number beyond float count as no number: no window can take that scale.
    if (!std::isfinite(scale))
      scale = 0.0f;
  }
  mPreferredScale.store(scale, std::memory_order_relaxed);
  return true;
}

bool MidiLearnConfig::saveConfig()
{
  if (mConfigPath.empty())
    return true;
  const char* path = mConfigPath.c_str();

  // The whole section in one write (each write rewrites and syncs the file, and a learn that a
  // controller completes saves on the audio thread): "CC<n>=<index>" entries, each ending in a
  // NUL, the list closed by an empty entry. The longest entry is "CC119=-2147483648".
  char entries[kNumControllers * 24 + 1];
  size_t used = 0;
  for (int cc = 0; cc < kNumControllers; ++cc) {
    const int paramIdx = mControllerMap[static_cast<size_t>(cc)].load(std::memory_order_relaxed);
    if (paramIdx == -1)
      continue;
    const int length = std::snprintf(entries + used, sizeof(entries) - used, "CC%i=%i", cc, paramIdx);
    used += static_cast<size_t>(length) + 1;
  }
  entries[used] = '\0';
  // Replaces an existing section; creates a missing one only when there are entries.
  const bool learnWritten = WritePrivateProfileSection(kMidiSection, entries, path);

  const float editorScale = mEditorScale.load(std::memory_order_relaxed);
  const float scale = editorScale > 0.0f ? editorScale : mPreferredScale.load(std::memory_order_relaxed);
  char text[64];
  std::snprintf(text, sizeof(text), "%f", static_cast<double>(scale));
  const bool scaleWritten = WritePrivateProfileString(kEditorSection, "Scale", text, path);
  return learnWritten && scaleWritten;
}

void MidiLearnConfig::arm(bool unlearn, bool on)
{
  mLearnCC.store(-1);
  mLearnParam.store(-1);
  mUnlearn.store(unlearn);
  mLearnActive.store(on);
}

void MidiLearnConfig::doMidiLearn(bool on)
{
  arm(false, on);
}
void MidiLearnConfig::doMidiUnlearn(bool on)
{
  arm(true, on);
}

bool MidiLearnConfig::setMidiLearnParam(int paramIdx)
{
  mLearnParam.store(paramIdx);
  return applyMidiLearn();
}

bool MidiLearnConfig::setMidiLearnCC(int controller)
{
  mLearnCC.store(controller);
  return applyMidiLearn();
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
  if (!mLearnActive.load())
    return false;
  const int cc = mLearnCC.load();
  const int paramIdx = mLearnParam.load();
  const bool unlearn = mUnlearn.load();

  const bool ready = unlearn ? (cc != -1 || paramIdx != -1) : (cc != -1 && paramIdx != -1);
  if (!ready)
    return false;
  // Exactly one thread completes a learn, even if the CC and the parameter arrive together.
  bool expected = true;
  if (!mLearnActive.compare_exchange_strong(expected, false))
    return false;
  mUnlearn.store(false);

  auto forget = [this](int param) {
    for (auto& entry : mControllerMap)
      if (entry.load(std::memory_order_relaxed) == param)
        entry.store(-1, std::memory_order_relaxed);
  };
  if (unlearn) {
    // The first capture decides: a controller, else a parameter.
    if (cc != -1)
      setControllerParam(cc, -1);
    else
      forget(paramIdx);
  } else {
    forget(paramIdx);
    setControllerParam(cc, paramIdx);
  }
  if (!mSaveDeferral || !mSaveDeferral(mSaveDeferralContext))
    saveConfig();
  mSwitchResetRequested.store(true, std::memory_order_release);
  return true;
}

} // namespace quennet
