#pragma once

#include <string>

namespace render {

// A new file that takes the place of `target` only when it is complete: it is written under a
// temporary name in the target's folder (so the final rename stays on one file system and is
// atomic), and removed again unless commit() is called. A failed render therefore never leaves a
// half-written file nor touches an existing one.
class PendingFile {
public:
  // Creates the temporary file. `suffix` ends its name (some writers pick the format from it).
  // Throws BadInput when the folder cannot take a new file or the target is a folder.
  explicit PendingFile(const std::string& target, const std::string& suffix = "");
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& target() const { return mTarget; }
  const std::string& path() const { return mPath; }
  // Open for writing; -1 after closeDescriptor().
  int descriptor() const { return mFd; }

  // Flushes the data to disk and closes the descriptor. Throws RenderFailure.
  void closeDescriptor();
  // Flushes, closes and renames onto the target. Throws RenderFailure; the target is then untouched.
  void commit();

private:
  std::string mTarget;
  std::string mPath;
  int mFd = -1;
  bool mCommitted = false;
};

} // namespace render
