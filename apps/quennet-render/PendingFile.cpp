// SPDX-License-Identifier: ISC
#include "apps/quennet-render/PendingFile.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Interruption.h"

namespace render {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinks = 40; // as the kernel allows in one path
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
mode_t newFileMode(const struct stat* existing)
{
  if (existing)
    return existing->st_mode & 07777;
  const mode_t mask = ::umask(0); // the only way to read it; set back at once, nothing else runs
  ::umask(mask);
  return 0666 & ~mask;
}

// ".NAME.part-XXXXXX" and the suffix, with NAME cut (at a character boundary) where the whole
// would be longer than the folder's file system allows.
std::string temporaryName(std::size_t maxLength, const std::string& name, const std::string& suffix)
{
  const std::size_t fixed = 1 + (sizeof kPartMark - 1) + suffix.size();
  std::string kept = name;
  if (kept.size() + fixed > maxLength) {
    kept.resize(maxLength > fixed ? maxLength - fixed : 0);
    while (!kept.empty() && (static_cast<unsigned char>(kept.back()) & 0xC0) == 0x80)
      kept.pop_back(); // a UTF-8 continuation byte: drop the rest of the character too
    if (!kept.empty() && (static_cast<unsigned char>(kept.back()) & 0x80))
      kept.pop_back(); // its lead byte
  }
  return "." + kept + kPartMark + suffix;
}

// The inode flags (chattr) of a file or folder; 0 where the file system has none or they cannot
// be read.
int inodeFlags(const std::string& path, bool folder)
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0)
    return 0;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
    flags = 0;
  ::close(fd);
  return flags;
}

// What would make renaming a new file onto `name` in `folder` fail, found before the render: the
// rename needs the old file's entry removed, which an immutable or append-only file or folder
// forbids, as does a sticky folder (/tmp) for another user's file.
void checkReplaceable(const std::string& folder, const struct stat& folderInfo, const struct stat* old,
                      const std::string& cannot)
{
  const int folderFlags = inodeFlags(folder, true);
  if (folderFlags & (FS_IMMUTABLE_FL | FS_APPEND_FL))
    throw BadInput(cannot + "its folder is " + (folderFlags & FS_IMMUTABLE_FL ? "immutable" : "append-only"));
  if (!old)
    return;
  const uid_t user = ::geteuid();
  if ((folderInfo.st_mode & S_ISVTX) && user != 0 && old->st_uid != user && folderInfo.st_uid != user)
    throw BadInput(cannot + "another user's file in a sticky folder");
}

// A file system without renameat2's flags (some network and FUSE ones) says so with one of these.
bool flagsUnsupported(int error)
{
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

} // namespace

PendingFile::PendingFile(const std::string& target, const std::string& suffix) : mTarget(target)
{
  const std::string cannot = "cannot write " + inQuotes(target) + ": ";
  mFinal = followLinks(target, cannot);
  struct stat old {};
  const bool exists = ::stat(mFinal.c_str(), &old) == 0;
  if (!exists && errno != ENOENT)
    throw BadInput(cannot + systemError()); // a name too long, a path through a file, …
  if (exists && S_ISDIR(old.st_mode))
    throw BadInput(inQuotes(target) + " is a folder");
  if (exists && !S_ISREG(old.st_mode))
    throw BadInput(cannot + "it is not a regular file");

  const fs::path finalPath(mFinal);
  const std::string folder = finalPath.has_parent_path() ? finalPath.parent_path().string() : std::string(".");
  const std::string name = finalPath.filename().string();
  struct stat folderInfo {};
  if (::stat(folder.c_str(), &folderInfo) != 0)
    throw BadInput(cannot + systemError());
  const long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  const std::size_t maxLength = nameMax > 0 ? static_cast<std::size_t>(nameMax) : NAME_MAX;
  if (name.size() > maxLength || name.empty() || name == "." || name == "..")
    throw BadInput(cannot + (name.size() > maxLength ? std::string(std::strerror(ENAMETOOLONG)) : "not a file name"));
  checkReplaceable(folder, folderInfo, exists ? &old : nullptr, cannot);
  if (exists && (inodeFlags(mFinal, false) & (FS_IMMUTABLE_FL | FS_APPEND_FL)))
    throw BadInput(cannot + "the file is immutable or append-only");
  mPlace = exists ? placeOf(old) : FilePlace{folderInfo.st_dev, folderInfo.st_ino, name};

  std::string pattern = (fs::path(folder) / temporaryName(maxLength, name, suffix)).string();
  DeferInterrupts defer; // the file and its removal on interrupt come together
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
  ::fchmod(mFd, newFileMode(exists ? &old : nullptr));
}

PendingFile::~PendingFile()
{
  DeferInterrupts defer;
  if (mFd >= 0)
    ::close(mFd);
  // Writing: mPath holds the unfinished or unwanted new file. Placed: the old one, no longer wanted.
  if (mState == State::Writing || mState == State::Placed)
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
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL; // EINVAL: a file system without fsync
  const int syncError = errno;
  if (::close(fd) != 0 || !synced)
    throw RenderFailure("cannot write " + inQuotes(mTarget) + ": " + writeError(synced ? errno : syncError));
}

void PendingFile::commit()
{
  commitTogether({this});
}

void PendingFile::swapIn()
{
  closeDescriptor();
  const std::string cannot = "cannot replace " + inQuotes(mTarget) + ": ";
  // What the constructor checked may have changed while the render ran.
  struct stat info {};
  const bool exists = ::lstat(mFinal.c_str(), &info) == 0;
  if (!exists && errno != ENOENT)
    throw RenderFailure(cannot + systemError());
  if (exists && !S_ISREG(info.st_mode))
    throw RenderFailure(cannot + "it is no longer a regular file");

  DeferInterrupts defer;
  // An old file and the new one change names in one step, so the old one can come back.
  const unsigned flags = exists ? RENAME_EXCHANGE : RENAME_NOREPLACE;
  if (::renameat2(AT_FDCWD, mPath.c_str(), AT_FDCWD, mFinal.c_str(), flags) == 0) {
    mState = State::Placed;
  } else if (flagsUnsupported(errno) && ::rename(mPath.c_str(), mFinal.c_str()) == 0) {
    // Without the swap, an old file is gone at once; a new one can still be removed again.
    mState = exists ? State::PlacedForGood : State::Placed;
  } else {
    throw RenderFailure(cannot + systemError());
  }
  mHadOldFile = exists;
  forgetOnInterrupt(mSlot); // interrupts wait until the end of the program from here
  mSlot = -1;
}

bool PendingFile::restore(std::string& problem)
{
  if (mState == State::PlacedForGood) {
    problem = "its file system cannot keep the old file while the new one takes its place";
    return false;
  }
  if (mState != State::Placed)
    return true;
  const bool back = mHadOldFile ? ::renameat2(AT_FDCWD, mPath.c_str(), AT_FDCWD, mFinal.c_str(), RENAME_EXCHANGE) == 0
                                : ::unlink(mFinal.c_str()) == 0;
  if (back) {
    mState = State::Writing; // mPath holds the new file again (or nothing): the destructor removes it
    return true;
  }
  problem = systemError();
  mState = mHadOldFile ? State::OldKeptAside : State::Settled;
  return false;
}

void PendingFile::settle()
{
  if (mState != State::Placed)
    return;
  mState = State::Settled;
  if (mHadOldFile && ::unlink(mPath.c_str()) != 0)
    printWarning("cannot remove the old version of " + inQuotes(mTarget) + " kept as " + inQuotes(mPath) + ": " +
                 systemError());
}

void commitTogether(const std::vector<PendingFile*>& files)
{
  std::vector<PendingFile*> placed;
  for (PendingFile* file : files) {
    if (!file)
      continue;
    try {
      file->swapIn();
    } catch (const RenderFailure& failure) {
      std::string message = failure.what();
      for (auto earlier = placed.rbegin(); earlier != placed.rend(); ++earlier) {
        PendingFile& back = **earlier;
        std::string problem;
        if (back.restore(problem))
          message += "; " + inQuotes(back.target()) + " is left as it was";
        else if (back.mState == PendingFile::State::OldKeptAside)
          message += "; " + inQuotes(back.target()) + " could not be put back (" + problem + "), its old version is " +
            inQuotes(back.path());
        else
          message += "; " + inQuotes(back.target()) + " is already replaced (" + problem + ")";
      }
      throw RenderFailure(message);
    }
    placed.push_back(file);
  }
  for (PendingFile* file : placed)
    file->settle();
}

} // namespace render
