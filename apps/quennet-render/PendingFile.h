#pragma once

#include <cstddef>
#include <string>

namespace render {

// A new file that takes the place of `target` only when it is complete: it is written under a
// temporary name in the folder of the file it replaces (so the final rename stays on one file
// system and is atomic), and removed again unless commit() is called, also by an interrupt. A
// failed or interrupted render therefore never leaves a half-written file nor touches an old one.
//
// A target that is a symbolic link keeps the link: the file at its end is replaced (or, for a
// dangling link, created), as a shell redirection would write it. An existing file keeps its
// permissions; a new one gets 0666 less the umask. A target that exists but is no regular file
// (a FIFO, a device) is refused rather than replaced.
class PendingFile {
public:
  // Creates the temporary file. `suffix` ends its name (some writers pick the format from it).
  // Throws BadInput when the folder cannot take a new file or the target cannot be replaced.
  explicit PendingFile(const std::string& target, const std::string& suffix = "");
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& target() const { return mTarget; }  // as the user named it
  const std::string& path() const { return mPath; }      // the temporary file
  // Open for writing; -1 after closeDescriptor().
  int descriptor() const { return mFd; }

  // Appends bytes through the descriptor. Throws RenderFailure ("disk full").
  void write(const void* data, std::size_t size);
  // Flushes the data to disk and closes the descriptor. Throws RenderFailure.
  void closeDescriptor();
  // Flushes, closes and renames onto the target. Throws RenderFailure; the target is then untouched.
  void commit();

private:
  std::string mTarget;
  std::string mFinal;  // mTarget with its symbolic links followed: what the rename replaces
  std::string mPath;
  int mFd = -1;
  int mSlot = -1;      // registration for removal on interrupt
  bool mCommitted = false;
};

} // namespace render
