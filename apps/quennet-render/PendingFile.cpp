#include "apps/quennet-render/PendingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Interruption.h"

namespace render {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinks = 40;  // as the kernel allows in one path
constexpr char kPartMark[] = ".part-XXXXXX";

// Where a write to `path` lands: each symbolic link replaced by what it points to, relative links
// read from the link's folder. A dangling link ends at the file it names.
std::string followLinks(const std::string& path, const std::string& cannot)
{
  std::string current = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
      return current;
    std::vector<char> text(PATH_MAX + 1);
    const ssize_t length = ::readlink(current.c_str(), text.data(), text.size());
    if (length < 0)
      throw BadInput(cannot + systemError());
    if (static_cast<std::size_t>(length) >= text.size())
      throw BadInput(cannot + "the symbolic link is too long");
    const fs::path link(std::string(text.data(), static_cast<std::size_t>(length)));
    current = link.is_absolute() ? link.string() : (fs::path(current).parent_path() / link).string();
  }
  throw BadInput(cannot + "too many levels of symbolic links");
}

// The mode a newly created file gets: an existing target keeps its permissions, a new one gets
// what the umask allows (mkstemp alone would make it private to the owner).
mode_t newFileMode(const std::string& target)
{
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0)
    return info.st_mode & 07777;
  const mode_t mask = ::umask(0);  // the only way to read it; set back at once, nothing else runs
  ::umask(mask);
  return 0666 & ~mask;
}

// ".NAME.part-XXXXXX" and the suffix, with NAME cut (at a character boundary) where the whole
// would be longer than the folder's file systems allows.
std::string temporaryName(const std::string& folder, const std::string& name, const std::string& suffix)
{
  const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::size_t maxLength = limit > 0 ? static_cast<std::size_t>(limit) : 255;
  const std::size_t fixed = 1 + (sizeof kPartMark - 1) + suffix.size();
  std::string kept = name;
  if (kept.size() + fixed > maxLength) {
    kept.resize(maxLength > fixed ? maxLength - fixed : 0);
    while (!kept.empty() && (static_cast<unsigned char>(kept.back()) & 0xC0) == 0x80)
      kept.pop_back();  // a UTF-8 continuation byte: drop the rest of the character too
    if (!kept.empty() && (static_cast<unsigned char>(kept.back()) & 0x80))
      kept.pop_back();  // its lead byte
  }
  return "." + kept + kPartMark + suffix;
}

} // namespace

PendingFile::PendingFile(const std::string& target, const std::string& suffix) : mTarget(target)
{
  const std::string cannot = "cannot write " + inQuotes(target) + ": ";
  mFinal = followLinks(target, cannot);
  struct stat info {};
  if (::stat(mFinal.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode))
      throw BadInput(inQuotes(target) + " is a folder");
    if (!S_ISREG(info.st_mode))
      throw BadInput(cannot + "it is not a regular file");
  }
  const fs::path finalPath(mFinal);
  const std::string folder = finalPath.has_parent_path() ? finalPath.parent_path().string() : std::string(".");
  std::string pattern = (fs::path(folder) / temporaryName(folder, finalPath.filename().string(), suffix)).string();

  DeferInterrupts defer;  // the file and its removal on interrupt come together
  mFd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (mFd < 0)
    throw BadInput(cannot + systemError());
  mPath = pattern;
  try {
    mSlot = removeOnInterrupt(mPath);
  } catch (...) {
    ::close(mFd);
    ::unlink(mPath.c_str());
    throw;
  }
  ::fchmod(mFd, newFileMode(mFinal));
}

PendingFile::~PendingFile()
{
  DeferInterrupts defer;
  if (mFd >= 0)
    ::close(mFd);
  if (!mCommitted)
    ::unlink(mPath.c_str());
  forgetOnInterrupt(mSlot);
}

void PendingFile::write(const void* data, std::size_t size)
{
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(mFd, bytes, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      throw RenderFailure("cannot write " + inQuotes(mTarget) + ": " + writeError(written < 0 ? errno : ENOSPC));
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void PendingFile::closeDescriptor()
{
  if (mFd < 0)
    return;
  const int fd = mFd;
  mFd = -1;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // EINVAL: a file system without fsync
  const int syncError = errno;
  if (::close(fd) != 0 || !synced)
    throw RenderFailure("cannot write " + inQuotes(mTarget) + ": " + writeError(synced ? errno : syncError));
}

void PendingFile::commit()
{
  closeDescriptor();
  DeferInterrupts defer;
  if (::rename(mPath.c_str(), mFinal.c_str()) != 0)
    throw RenderFailure("cannot replace " + inQuotes(mTarget) + ": " + systemError());
  mCommitted = true;
  forgetOnInterrupt(mSlot);
  mSlot = -1;
}

} // namespace render
