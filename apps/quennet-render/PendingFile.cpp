#include "apps/quennet-render/PendingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "apps/quennet-render/Errors.h"

namespace render {

namespace {
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
} // namespace

PendingFile::PendingFile(const std::string& target, const std::string& suffix) : mTarget(target)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::is_directory(target, ec))
    throw BadInput(inQuotes(target) + " is a folder");
  const fs::path targetPath(target);
  const fs::path folder = targetPath.has_parent_path() ? targetPath.parent_path() : fs::path(".");
  std::string pattern = (folder / ("." + targetPath.filename().string() + ".part-XXXXXX" + suffix)).string();
  mFd = ::mkstemps(pattern.data(), static_cast<int>(suffix.size()));
  if (mFd < 0)
    throw BadInput("cannot write " + inQuotes(target) + ": " + systemError());
  mPath = pattern;
  ::fchmod(mFd, newFileMode(target));
}

PendingFile::~PendingFile()
{
  if (mFd >= 0)
    ::close(mFd);
  if (!mCommitted)
    ::unlink(mPath.c_str());
}

void PendingFile::closeDescriptor()
{
  if (mFd < 0)
    return;
  const int fd = mFd;
  mFd = -1;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;  // EINVAL: a file system without fsync
  const int syncError = errno;
  if (::close(fd) != 0 || !synced) {
    if (!synced)
      errno = syncError;
    throw RenderFailure("cannot write " + inQuotes(mTarget) + ": " + systemError());
  }
}

void PendingFile::commit()
{
  closeDescriptor();
  if (::rename(mPath.c_str(), mTarget.c_str()) != 0)
    throw RenderFailure("cannot replace " + inQuotes(mTarget) + ": " + systemError());
  mCommitted = true;
}

} // namespace render
