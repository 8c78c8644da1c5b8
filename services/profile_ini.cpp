// SPDX-License-Identifier: ISC
#include "services/profile_ini.h"

#include "services/StringKeyedArray.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quennet {

namespace {

using KeyMap = StringKeyedArray<std::string>;
using SectionMap = StringKeyedArray<KeyMap>;

constexpr int kNumContexts = 32;
constexpr std::size_t kMaxResolvedPath = 511; // characters, as the 512-byte path buffer holds
constexpr std::size_t kLineGrowth = 8192; // bytes
constexpr std::size_t kMaxLine = 32u * 1024 * 1024; // a longer line is split into several
constexpr std::size_t kMaxBeforeFirstSection = 262144;
constexpr std::size_t kSectionEntryScan = 8191; // the '=' of a section entry must lie within this

// One parsed file. The recorded time (whole seconds) and size describe the disk file the content
// came from or was last written to; both are 0 for a missing file, and -1 while a reload is under
// way so that an interrupted reload is repeated at the next lookup.
struct FileContext {
  std::uint64_t accessStamp = 0;
  std::int64_t fileTime = 0;
  std::int64_t fileSize = 0;
  std::optional<std::string> path;
  SectionMap sections;
  bool unsaved = false; // the last write-back failed: memory holds changes the file lacks
};

// Static line buffer for parsing; grows in fixed steps and is kept for the life of the process.
struct LineBuffer {
  char* data = nullptr;
  std::size_t capacity = 0;

  bool grow()
  {
    char* bigger = static_cast<char*>(std::realloc(data, capacity + kLineGrowth));
    if (bigger == nullptr)
      return false;
    data = bigger;
    capacity += kLineGrowth;
    return true;
  }

  void release()
  {
    std::free(data);
    data = nullptr;
    capacity = 0;
  }

  // Reads one line with its line feed into data; `length` receives the bytes read. False at end
  // of file. A line longer than kMaxLine is returned in pieces.
  bool read(std::FILE* f, std::size_t& length)
  {
    length = 0;
    bool gotAny = false;
    for (;;) {
      if (capacity - length < 2 && !grow())
        break;
      if (std::fgets(data + length, static_cast<int>(capacity - length), f) == nullptr)
        break;
      gotAny = true;
      length += std::strlen(data + length);
      if (length > 0 && (data[length - 1] == '\n' || data[length - 1] == '\r'))
        break;
      if (length + 1 < capacity) // a short piece: end of file (or a NUL byte in the line)
        break;
      if (length > kMaxLine)
        break;
    }
    return gotAny;
  }
};

struct Store {
  std::recursive_mutex mutex; // guards everything below, across all plug-in instances
  std::array<FileContext, kNumContexts> contexts;
  std::uint64_t accessCounter = 0;
  LineBuffer line;
  std::string defaultPath; // empty: "$HOME/.libProfile.ini"
};

// The store is never destroyed, so a call from any static destructor stays safe; the object
// below frees its contents at exit, and a later call simply starts filling it again. It lives in
// this module's own static storage, not on the heap: a host that unloads the plug-in module
// (hosts that scan plug-ins load and unload it many times) takes the store with the module
// instead of leaving it behind.
Store* theStore() noexcept
{
  alignas(Store) static unsigned char storage[sizeof(Store)];
  static Store* const store = new (storage) Store;
  return store;
}

struct ReleaseAtExit {
  ReleaseAtExit() { theStore(); }
  ~ReleaseAtExit()
  {
    Store* s = theStore();
    if (s == nullptr)
      return;
    try {
      std::lock_guard<std::recursive_mutex> lock(s->mutex);
      for (FileContext& c : s->contexts)
        c = FileContext{};
      s->line.release();
      s->defaultPath = std::string();
    } catch (...) {
    }
  }
};

ReleaseAtExit releaseAtExit;

// Every public operation runs its body through this: nothing escapes towards the caller.
template <typename R, typename F>
R guarded(R onFailure, F&& body) noexcept
{
  try {
    return body();
  } catch (...) {
    return onFailure;
  }
}

// The body of an operation that works on the store: guarded, with the store's lock held.
template <typename R, typename F>
R locked(R onFailure, F&& body) noexcept
{
  return guarded(onFailure, [&]() -> R {
    Store* s = theStore();
    if (s == nullptr)
      return onFailure;
    std::lock_guard<std::recursive_mutex> lock(s->mutex);
    return body(*s);
  });
}

bool isLineBlank(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isBlank(char c)
{
  return c == ' ' || c == '\t';
}

// --- Path resolution ---

bool resolvePath(const Store& s, const char* fn, std::string& path)
{
  if (fn != nullptr && std::strchr(fn, '/') != nullptr) {
    path = fn;
    return true;
  }
  std::string base;
  if (!s.defaultPath.empty())
    base = s.defaultPath;
  else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0')
      home = "/tmp";
    base = std::string(home) + "/.libProfile.ini";
  }
  // A path cut short to fit could name an unrelated file: refuse it instead.
  if (base.size() > kMaxResolvedPath)
    return false;
  if (fn != nullptr && *fn != '\0') {
    const std::size_t separator = base.find_last_of("/\\");
    const std::size_t dot = base.rfind('.');
    if (dot != std::string::npos && (separator == std::string::npos || dot > separator))
      base.erase(dot);
    const char* ext = std::strrchr(fn, '.');
    base += '_';
    base += fn;
    if (ext == nullptr || strcasecmp(ext, ".ini") != 0)
      base += ".ini";
    if (base.size() > kMaxResolvedPath)
      return false;
  }
  path = std::move(base);
  return true;
}

// --- Parsing ---

void parseFile(std::FILE* f, SectionMap& sections, LineBuffer& lb)
{
  KeyMap* current = nullptr;
  bool sectionCreated = false;
  std::size_t bytesBeforeFirstSection = 0;
  std::size_t length = 0;
  while (lb.read(f, length)) {
    if (!sectionCreated) {
      // A large file without a header is not one of ours: stop instead of scanning all of it.
      bytesBeforeFirstSection += length;
      if (bytesBeforeFirstSection > kMaxBeforeFirstSection)
        break;
    }
    char* line = lb.data;
    std::size_t end = std::strlen(line);
    while (end > 0 && isLineBlank(line[end - 1]))
      --end;
    line[end] = '\0';
    const char* text = line;
    while (isBlank(*text))
      ++text;

    if (*text == '[') {
      const char* close = std::strchr(text, ']');
      if (close == nullptr)
        continue;
      if (current != nullptr)
        current->resort();
      const std::string name(text + 1, close);
      if (name.empty()) {
        current = nullptr;
        continue;
      }
      current = sections.find(name.c_str());
      if (current != nullptr)
        current->clear();
      else
        current = &sections.set(name.c_str(), KeyMap{});
      sectionCreated = true;
      continue;
    }
    if (current == nullptr)
      continue;
    const char* eq = std::strchr(text, '=');
    if (eq == nullptr)
      continue;
    const char* keyEnd = eq;
    while (keyEnd > text && isLineBlank(keyEnd[-1]))
      --keyEnd;
    if (keyEnd == text)
      continue;
    current->appendUnsorted(std::string(text, keyEnd), std::string(eq + 1));
  }
  if (current != nullptr)
    current->resort();
}

// --- Context lookup ---

FileContext* GetFileContext(Store& s, const char* fn)
{
  std::string path;
  if (!resolvePath(s, fn, path))
    return nullptr;

  // Paths compare exactly: on a case-sensitive file system two spellings are two files.
  FileContext* ctx = nullptr;
  for (FileContext& c : s.contexts) {
    if (!c.path || *c.path == path) {
      ctx = &c;
      break;
    }
  }
  if (ctx == nullptr) {
    ctx = &s.contexts[0];
    for (FileContext& c : s.contexts)
      if (c.accessStamp < ctx->accessStamp)
        ctx = &c;
  }
  ctx->accessStamp = ++s.accessCounter;

  if (ctx->path && *ctx->path == path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (ctx->fileTime == 0 && ctx->fileSize == 0)
        return ctx;
    } else if (static_cast<std::int64_t>(st.st_mtime) == ctx->fileTime &&
               static_cast<std::int64_t>(st.st_size) == ctx->fileSize)
      return ctx;
  }

  ctx->sections.clear();
  ctx->fileTime = -1;
  ctx->fileSize = -1;
  ctx->unsaved = false;
  if (!ctx->path || *ctx->path != path)
    ctx->path = path;

  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::FILE* f = fd >= 0 ? ::fdopen(fd, "r") : nullptr;
  if (f == nullptr) {
    if (fd >= 0)
      ::close(fd);
    ctx->fileTime = 0;
    ctx->fileSize = 0;
    return ctx;
  }
  struct CloseFile {
    std::FILE* file;
    ~CloseFile() { std::fclose(file); } // also drops the shared lock
  } closer{f};

  while (::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
  }
  parseFile(f, ctx->sections, s.line);
  // The stat of the open file, not of the path: a file renamed into place meanwhile must still
  // look changed at the next lookup.
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    ctx->fileTime = static_cast<std::int64_t>(st.st_mtime);
    ctx->fileSize = static_cast<std::int64_t>(st.st_size);
  } else {
    ctx->fileTime = 0;
    ctx->fileSize = 0;
  }
  ::flock(fd, LOCK_UN);
  return ctx;
}

// --- Write-back ---

bool writeAll(int fd, const std::string& text)
{
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string serialise(const SectionMap& sections)
{
  std::string text;
  for (const auto& section : sections) {
    text += '[';
    text += section.key;
    text += "]\n";
    for (const auto& pair : section.value) {
      if (pair.key.empty())
        continue;
      text += pair.key;
      text += '=';
      text += pair.value;
      text += '\n';
    }
    text += '\n';
  }
  return text;
}

// Writes the whole context to its file: into ".name.new" beside the target, synced, then renamed
// over the target, so the file on disk is always either the old or the new content. The lock is
// held until after the rename: a second writer that opened the same temporary file meanwhile
// notices, once it gets the lock, that the name now belongs to another file and starts again.
bool WriteBackFile(FileContext& ctx)
{
  if (!ctx.path)
    return false;
  const std::string text = serialise(ctx.sections);

  std::string target = *ctx.path;
  struct stat st;
  if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Write the link's target so that the link itself stays in place.
    char* real = ::realpath(target.c_str(), nullptr);
    if (real == nullptr)
      return false;
    target = real;
    std::free(real);
  }
  const std::size_t slash = target.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  std::string temp = target;
  temp.insert(nameStart, 1, '.');
  temp += ".new";

  struct stat old;
  const bool targetExists = ::stat(target.c_str(), &old) == 0;

  // Every retry means another writer renamed its file into place meanwhile: it made progress.
  // Under contention a writer may lose many times in a row; the bound only stops a pathological
  // loop (something replanting the temporary name forever).
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      // A link planted under the temporary name is never written through, and a read-only
      // leftover of a crashed write must not block every later one.
      if ((errno == ELOOP || errno == EACCES) && ::unlink(temp.c_str()) == 0)
        continue;
      return false;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat mine;
    struct stat named;
    if (rc != 0 || ::fstat(fd, &mine) != 0) {
      ::close(fd);
      return false;
    }
    if (::lstat(temp.c_str(), &named) != 0 || named.st_dev != mine.st_dev || named.st_ino != mine.st_ino) {
      ::close(fd); // another writer renamed this file into place while we waited
      continue;
    }
    if (targetExists)
      ::fchmod(fd, old.st_mode & 07777); // keep the file's permissions across the replacement
    // fsync before the rename: after a crash the target is the old or the new content, never a
    // truncated file.
    if (::ftruncate(fd, 0) != 0 || !writeAll(fd, text) || ::fsync(fd) != 0) {
      ::unlink(temp.c_str());
      ::close(fd);
      return false;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      ::close(fd);
      return false;
    }
    // Our own file's stamp, so the next lookup does not re-read what it just wrote.
    if (::fstat(fd, &mine) == 0) {
      ctx.fileTime = static_cast<std::int64_t>(mine.st_mtime);
      ctx.fileSize = static_cast<std::int64_t>(mine.st_size);
    } else {
      ctx.fileTime = 0;
      ctx.fileSize = 0;
    }
    ::close(fd); // drops the lock
    return true;
  }
  return false;
}

// A change, or a pending one from an earlier failed write, goes to disk; otherwise nothing to do.
bool commit(FileContext& ctx, bool changed)
{
  if (!changed && !ctx.unsaved)
    return true;
  ctx.unsaved = true;
  if (!WriteBackFile(ctx))
    return false;
  ctx.unsaved = false;
  return true;
}

// Names and values that the file format cannot hold: they would come back as other sections or
// keys when the file is next read.
bool storableSection(const char* s)
{
  return *s != '\0' && std::strpbrk(s, "\r\n]") == nullptr;
}

bool storableKey(const char* k)
{
  if (std::strpbrk(k, "\r\n=") != nullptr)
    return false;
  while (isBlank(*k))
    ++k;
  return *k != '[';
}

bool storableValue(const char* v)
{
  return std::strpbrk(v, "\r\n") == nullptr;
}

// --- Reading ---

std::size_t copyTruncated(const char* src, std::size_t length, char* out, std::size_t outSize)
{
  if (outSize < 1)
    return 0;
  const std::size_t n = std::min(length, outSize - 1);
  std::memcpy(out, src, n);
  out[n] = '\0';
  return n;
}

// The value as readers see it: blanks around it and one pair of matching quotes removed.
std::pair<const char*, std::size_t> trimmedValue(const std::string& value)
{
  const char* begin = value.c_str();
  const char* end = begin + value.size();
  while (begin < end && isBlank(*begin))
    ++begin;
  while (end > begin && isBlank(end[-1]))
    --end;
  if (end - begin >= 2 && (*begin == '"' || *begin == '\'') && end[-1] == *begin) {
    ++begin;
    --end;
  }
  return {begin, static_cast<std::size_t>(end - begin)};
}

template <typename Map>
std::size_t enumerateNames(const Map* map, char* out, std::size_t outSize)
{
  std::string list;
  if (map != nullptr)
    for (const auto& pair : *map)
      if (!pair.key.empty()) {
        list += pair.key;
        list += '\0';
      }
  if (outSize < 2) {
    if (outSize == 1)
      out[0] = '\0';
    return 0;
  }
  if (list.empty()) {
    out[0] = out[1] = '\0';
    return 0;
  }
  const std::size_t n = std::min(list.size() - 1, outSize - 2);
  std::memcpy(out, list.data(), n);
  out[n] = out[n + 1] = '\0';
  return n;
}

std::size_t readString(Store& s, const char* section, const char* key, const char* def, char* out, std::size_t outSize,
                       const char* fn)
{
  if (out == nullptr)
    return 0;
  FileContext* ctx = GetFileContext(s, fn);
  if (section == nullptr)
    return enumerateNames(ctx != nullptr ? &ctx->sections : nullptr, out, outSize);
  const KeyMap* keys = ctx != nullptr ? ctx->sections.find(section) : nullptr;
  if (key == nullptr)
    return enumerateNames(keys, out, outSize);
  const std::string* value = keys != nullptr ? keys->find(key) : nullptr;
  if (value != nullptr) {
    const auto [begin, length] = trimmedValue(*value);
    return copyTruncated(begin, length, out, outSize);
  }
  if (def == nullptr)
    def = "";
  return copyTruncated(def, std::strlen(def), out, outSize);
}

int hexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

} // namespace

int GetPrivateProfileString(const char* section, const char* key, const char* def, char* out, int outSize,
                            const char* fn)
{
  const int n = locked(-1, [&](Store& s) {
    return static_cast<int>(
      readString(s, section, key, def, out, outSize > 0 ? static_cast<std::size_t>(outSize) : 0, fn));
  });
  if (n >= 0)
    return n;
  if (out != nullptr && outSize >= 1)
    out[0] = '\0';
  if (out != nullptr && outSize >= 2)
    out[1] = '\0';
  return 0;
}

int GetPrivateProfileInt(const char* section, const char* key, int def, const char* fn)
{
  char buf[512];
  if (GetPrivateProfileString(section, key, "", buf, sizeof buf, fn) <= 0)
    return def;
  // atoi's reading, clamped to int instead of overflowing.
  const long v = std::strtol(buf, nullptr, 10);
  if (v == 0 && buf[0] != '0')
    return def;
  return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

bool GetPrivateProfileStruct(const char* section, const char* key, void* data, int size, const char* fn)
{
  if (section == nullptr || key == nullptr || size < 0 || (data == nullptr && size > 0))
    return false;
  return guarded(false, [&] {
    const std::size_t count = static_cast<std::size_t>(size);
    std::vector<char> text(2 * count + 17);
    const std::size_t length =
      locked(std::size_t{0}, [&](Store& s) { return readString(s, section, key, "", text.data(), text.size(), fn); });
    if (length != 2 * (count + 1))
      return false;
    auto* bytes = static_cast<unsigned char*>(data);
    unsigned sum = 0;
    for (std::size_t i = 0; i <= count; ++i) {
      const int hi = hexDigit(text[2 * i]);
      const int lo = hexDigit(text[2 * i + 1]);
      if (hi < 0 || lo < 0)
        return false;
      const unsigned byte = static_cast<unsigned>(hi * 16 + lo);
      if (i == count)
        return byte == (sum & 0xFFu);
      bytes[i] = static_cast<unsigned char>(byte);
      sum += byte;
    }
    return false;
  });
}

unsigned int GetPrivateProfileSection(const char* section, char* out, unsigned int outSize, const char* fn)
{
  if (out == nullptr || outSize == 0)
    return 0;
  if (outSize == 1) {
    out[0] = '\0';
    return 0;
  }
  out[0] = out[1] = '\0';
  return locked(0u, [&](Store& s) {
    FileContext* ctx = GetFileContext(s, fn);
    const KeyMap* keys = (ctx != nullptr && section != nullptr) ? ctx->sections.find(section) : nullptr;
    std::string list;
    if (keys != nullptr)
      for (const auto& pair : *keys) {
        const auto [begin, length] = trimmedValue(pair.value);
        list += pair.key;
        list += '=';
        list.append(begin, length);
        list += '\0';
      }
    if (list.size() + 1 <= outSize) {
      std::memcpy(out, list.data(), list.size());
      out[list.size()] = '\0';
      if (list.empty())
        out[1] = '\0';
      return static_cast<unsigned>(list.size());
    }
    // Cut: still closed by two NULs, so a reader walking the entries stops inside the buffer.
    std::memcpy(out, list.data(), outSize - 2);
    out[outSize - 2] = out[outSize - 1] = '\0';
    return outSize - 2;
  });
}

bool WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fn)
{
  if (section == nullptr || (key != nullptr && *key == '\0'))
    return false;
  if (key != nullptr && value != nullptr && (!storableSection(section) || !storableKey(key) || !storableValue(value)))
    return false;
  return locked(false, [&](Store& s) {
    FileContext* ctx = GetFileContext(s, fn);
    if (ctx == nullptr)
      return false;
    KeyMap* keys = ctx->sections.find(section);
    if (key != nullptr && value != nullptr) {
      const std::string* old = keys != nullptr ? keys->find(key) : nullptr;
      if (old != nullptr && *old == value)
        return commit(*ctx, false);
      if (keys == nullptr)
        keys = &ctx->sections.set(section, KeyMap{});
      keys->set(key, value);
      return commit(*ctx, true);
    }
    if (key != nullptr)
      return commit(*ctx, keys != nullptr && keys->remove(key));
    return commit(*ctx, ctx->sections.remove(section));
  });
}

bool WritePrivateProfileStruct(const char* section, const char* key, const void* data, int size, const char* fn)
{
  if (key == nullptr || data == nullptr)
    return WritePrivateProfileString(section, key, static_cast<const char*>(data), fn);
  if (size < 0)
    return false;
  return guarded(false, [&] {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t count = static_cast<std::size_t>(size);
    std::string text;
    text.reserve(2 * count + 2);
    unsigned sum = 0;
    for (std::size_t i = 0; i <= count; ++i) {
      const unsigned byte = i < count ? bytes[i] : (sum & 0xFFu);
      text += kHex[byte >> 4];
      text += kHex[byte & 0xFu];
      sum += byte;
    }
    return WritePrivateProfileString(section, key, text.c_str(), fn);
  });
}

bool WritePrivateProfileSection(const char* section, const char* entries, const char* fn)
{
  if (section == nullptr)
    return false;
  return guarded(false, [&] {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const char* p = entries; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
      const std::size_t length = std::strlen(p);
      const auto* eq = static_cast<const char*>(std::memchr(p, '=', std::min(length, kSectionEntryScan)));
      if (eq == nullptr)
        continue;
      std::string key(p, eq);
      if (!storableKey(key.c_str()) || !storableValue(eq + 1))
        return false;
      pairs.emplace_back(std::move(key), std::string(eq + 1));
    }
    if (!pairs.empty() && !storableSection(section))
      return false;

    return locked(false, [&](Store& s) {
      FileContext* ctx = GetFileContext(s, fn);
      if (ctx == nullptr)
        return false;
      KeyMap* keys = ctx->sections.find(section);
      if (keys != nullptr)
        keys->clear();
      else if (pairs.empty())
        return commit(*ctx, false);
      else
        keys = &ctx->sections.set(section, KeyMap{});
      for (const auto& [key, value] : pairs)
        keys->set(key.c_str(), value);
      return commit(*ctx, true);
    });
  });
}

void SetPrivateProfileDefaultPath(const char* path)
{
  locked(false, [&](Store& s) {
    s.defaultPath = path != nullptr ? path : "";
    return true;
  });
}

} // namespace quennet
