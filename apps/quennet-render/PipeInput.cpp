// SPDX-License-Identifier: ISC
#include "apps/quennet-render/PipeInput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Interruption.h"

namespace render {

namespace {

constexpr std::size_t kPeekBytes = 12; // enough for "RIFF....WAVE" and "FORM....AIFF"
constexpr std::size_t kCopyChunk = std::size_t{1} << 20;

// The first `count` bytes of the pipe `fd`, left in it: tee() duplicates them into a pipe of our
// own, from which they are read. Fewer only when the stream ends sooner (or `fd` is no pipe: none).
std::string peek(int fd, std::size_t count)
{
  int own[2];
  if (::pipe2(own, O_CLOEXEC) != 0)
    return {};
  std::string bytes;
  for (;;) {
    const ssize_t copied = ::tee(fd, own[1], count, 0); // waits until the pipe holds something
    if (copied < 0 && errno == EINTR)
      continue;
    if (copied <= 0)
      break; // 0: the writer is gone and nothing is left; -1: no pipe
    bytes.resize(static_cast<std::size_t>(copied));
    std::size_t got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(own[0], bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    if (bytes.size() >= count)
      break;
    // Part of the bytes so far. tee() cannot wait for more without taking them, so look again
    // shortly, unless the writer is gone and this is all there is.
    pollfd state{fd, POLLIN, 0};
    if (::poll(&state, 1, 0) > 0 && (state.revents & POLLHUP))
      break;
    const timespec pause{0, 1000000}; // 1 ms
    ::nanosleep(&pause, nullptr);
  }
  ::close(own[0]);
  ::close(own[1]);
  return bytes;
}

bool startsWith(const std::string& bytes, std::size_t at, const char* text)
{
  const std::size_t length = std::strlen(text);
  return bytes.size() >= at + length && bytes.compare(at, length, text) == 0;
}

// An unnamed file in `folder` (O_TMPFILE), or, where the file system has none, a named one that is
// unlinked at once. -1 when neither can be made.
int unnamedFile(const std::string& folder)
{
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd;
  std::string pattern = folder + "/quennet-render-XXXXXX";
  DeferInterrupts defer; // an interrupt between the two calls would leave the file behind
  const int named = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (named >= 0)
    ::unlink(pattern.c_str());
  return named;
}

} // namespace

bool canSeek(int fd)
{
  return ::lseek(fd, 0, SEEK_CUR) >= 0;
}

bool streamsThroughPipe(int fd)
{
  const std::string start = peek(fd, kPeekBytes);
  return (startsWith(start, 0, "RIFF") && startsWith(start, 8, "WAVE")) ||
    (startsWith(start, 0, "FORM") && (startsWith(start, 8, "AIFF") || startsWith(start, 8, "AIFC"))) ||
    startsWith(start, 0, ".snd") || startsWith(start, 0, "dns.") || startsWith(start, 0, "OggS");
}

int copyToTemporaryFile(int fd, const std::string& name)
{
  const char* variable = std::getenv("TMPDIR");
  const std::string folder = variable && variable[0] == '/' ? variable : "/tmp";
  const std::string cannot = "cannot copy " + inQuotes(name) + " into a temporary file in " + inQuotes(folder) + ": ";
  const int copy = unnamedFile(folder);
  if (copy < 0)
    throw RenderFailure(cannot + systemError());
  try {
    std::vector<char> buffer(kCopyChunk);
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR)
        continue;
      if (got < 0)
        throw BadInput("cannot read " + inQuotes(name) + ": " + systemError());
      if (got == 0)
        break;
      std::size_t done = 0;
      while (done < static_cast<std::size_t>(got)) {
        const ssize_t written = ::write(copy, buffer.data() + done, static_cast<std::size_t>(got) - done);
        if (written < 0 && errno == EINTR)
          continue;
        if (written <= 0)
          throw RenderFailure(cannot + writeError(written < 0 ? errno : ENOSPC));
        done += static_cast<std::size_t>(written);
      }
    }
    if (::lseek(copy, 0, SEEK_SET) != 0)
      throw RenderFailure(cannot + systemError());
  } catch (...) {
    ::close(copy);
    throw;
  }
  return copy;
}

} // namespace render
