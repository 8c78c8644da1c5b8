// SPDX-License-Identifier: ISC
#include "apps/quennet-render/MidiFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

#include "apps/quennet-render/Errors.h"

namespace render {

namespace {

constexpr std::uint32_t kDefaultMicrosPerQuarter = 500000; // 120 BPM until the first tempo event

class Descriptor {
public:
  explicit Descriptor(int fd) : mFd(fd) {}
  ~Descriptor()
  {
    if (mFd >= 0)
      ::close(mFd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return mFd; }

private:
  int mFd;
};

// The whole file, but never more than the cap plus one byte: a regular file is measured before
// it is read, a FIFO or a device (/dev/zero) is read only until it passes the cap.
MidiFile::ReadFile readBounded(const std::string& path)
{
  const std::string cannot = "cannot read MIDI file " + inQuotes(path) + ": ";
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0)
    throw BadInput(cannot + (errno == ENOENT ? std::string("no such file") : systemError()));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    throw BadInput(cannot + systemError());
  if (S_ISDIR(info.st_mode))
    throw BadInput(cannot + "it is a folder");
  const std::string tooLarge = inQuotes(path) + " is too large for a MIDI file (more than 64 MB)";
  if (S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) > kMaxMidiFileBytes)
    throw BadInput(tooLarge);

  std::vector<std::uint8_t> bytes;
  std::size_t capacity = S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) + 1 : 65536;
  for (;;) {
    if (bytes.size() == capacity)
      capacity = std::min(2 * capacity, kMaxMidiFileBytes + 1);
    const std::size_t used = bytes.size();
    bytes.resize(capacity);
    const ssize_t got = ::read(fd.get(), bytes.data() + used, capacity - used);
    if (got < 0 && errno == EINTR) {
      bytes.resize(used);
      continue;
    }
    if (got < 0)
      throw BadInput(cannot + systemError());
    bytes.resize(used + static_cast<std::size_t>(got));
    if (bytes.size() > kMaxMidiFileBytes)
      throw BadInput(tooLarge);
    if (got == 0)
      return {std::move(bytes), placeOf(info)};
  }
}

// frame = scaled · rate / (ppqn · 10^6), rounded half up. scaled is below 2^80 (pulses below 2^56,
// at most 2^24 µs each), so the product stays far inside 128 bits.
__extension__ using Wide = unsigned __int128;

std::int64_t frameOf(Wide scaled, int ppqn, int sampleRate)
{
  const Wide denominator = static_cast<Wide>(ppqn) * 1000000u;
  const Wide frame = (2 * scaled * static_cast<Wide>(sampleRate) + denominator) / (2 * denominator);
  constexpr auto kLatest = static_cast<Wide>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(frame < kLatest ? frame : kLatest);
}

} // namespace

MidiFile::MidiFile(const std::string& path, int sampleRate) : MidiFile(readBounded(path), path, sampleRate)
{
}

MidiFile::MidiFile(ReadFile file, const std::string& name, int sampleRate)
    : MidiFile(std::move(file.bytes), name, sampleRate)
{
  mPlace = file.place;
}

MidiFile::MidiFile(std::vector<std::uint8_t> bytes, const std::string& name, int sampleRate)
    : mBytes(std::move(bytes)), mSampleRate(sampleRate)
{
  std::string problem;
  if (!mReader.open(mBytes.data(), mBytes.size(), problem))
    throw BadInput(inQuotes(name) + " is not a valid Standard MIDI File (" + problem + ")");
  rewind();
}

void MidiFile::rewind()
{
  mReader.rewind();
  mTempoPulses = 0;
  mMicrosPerQuarter = kDefaultMicrosPerQuarter;
  mScaledAtTempo = 0;
}

bool MidiFile::next(TimedMidiEvent& timed)
{
  // The merged stream comes in time order, so the tempo map is known up to each event when it
  // arrives: every tempo segment adds its pulses times its microseconds per quarter note.
  SmfEvent event;
  while (mReader.next(event)) {
    const Scaled scaled = mScaledAtTempo + static_cast<Scaled>(event.pulses - mTempoPulses) * mMicrosPerQuarter;
    if (event.kind == SmfEvent::Kind::Tempo) {
      mScaledAtTempo = scaled;
      mTempoPulses = event.pulses;
      mMicrosPerQuarter = event.microsPerQuarter;
      continue;
    }
    timed.frame = frameOf(scaled, mReader.ppqn(), mSampleRate);
    timed.status = event.status;
    timed.data1 = event.data1;
    timed.data2 = event.data2;
    return true;
  }
  return false;
}

} // namespace render
