// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "apps/quennet-render/FilePlace.h"

namespace render {

// A new file that takes the place of `target` only when it is complete: it is written under a
// temporary name in the folder of the file it replaces (so the final rename stays on one file
// system and is atomic), and removed again unless it is put in place, also by an interrupt. A
// failed or interrupted render therefore never leaves a half-written file nor touches an old one.
//
// Everything that would make the final rename fail is checked by the constructor, before anything
// is rendered: a name too long for the file system, a folder that cannot take the file, an old file
// that cannot be replaced (another user's in a sticky folder, an immutable or append-only one).
//
// A target that is a symbolic link keeps the link: the file at its end is replaced (or, for a
// dangling link, created), as a shell redirection would write it. An existing file keeps its
// permissions; a new one gets 0666 less the umask. A target that exists but is no regular file
// (a FIFO, a device) is refused rather than replaced.
class PendingFile {
public:
  // Creates the temporary file. `suffix` ends its name (some writers pick the format from it).
  // Throws BadInput when the target cannot be replaced or the folder cannot take a new file.
  explicit PendingFile(const std::string& target, const std::string& suffix = "");
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  const std::string& target() const { return mTarget; } // as the user named it
  const std::string& path() const { return mPath; } // the temporary file
  // Where the target's file is, or will be.
  const FilePlace& place() const { return mPlace; }
  // Open for writing; -1 after closeDescriptor().
  int descriptor() const { return mFd; }

  // Appends bytes through the descriptor. Throws RenderFailure ("disk full").
  void write(const void* data, std::size_t size);
  // Flushes the data to disk and closes the descriptor. Throws RenderFailure.
  void closeDescriptor();
  // Puts this file alone in its place (commitTogether with one file).
  void commit();

private:
  friend void commitTogether(const std::vector<PendingFile*>& files);

  // Puts the new file in the target's place; the old one, if any, is kept under the temporary
  // name (the two are swapped in one step) until settle() or restore(). Throws RenderFailure; the
  // target is then untouched.
  void swapIn();
  // Undoes swapIn(). False, with the reason, when that is impossible.
  bool restore(std::string& problem);
  // Removes the old file swapIn() kept; a warning when that fails.
  void settle();

  enum class State {
    Writing,
    Placed, // the new file is the target; the old one, if any, under mPath
    PlacedForGood, // placed, without a way back (a file system that cannot swap files)
    Settled, // placed; nothing left under mPath
    OldKeptAside, // a failed restore: mPath holds the old file and must stay
  };

  std::string mTarget;
  std::string mFinal; // mTarget with its symbolic links followed: what the rename replaces
  std::string mPath;
  FilePlace mPlace;
  int mFd = -1;
  int mSlot = -1; // registration for removal on interrupt
  State mState = State::Writing;
  bool mHadOldFile = false; // set by swapIn()
};

// Puts every file in its place, in order, or none of them: when one cannot be placed, the files
// placed before it get their old versions back, so every target is as it was before the render.
// Null entries are skipped. Throws RenderFailure.
void commitTogether(const std::vector<PendingFile*>& files);

} // namespace render
