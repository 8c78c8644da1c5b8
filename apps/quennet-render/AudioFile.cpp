// SPDX-License-Identifier: ISC
#include "apps/quennet-render/AudioFile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <strings.h>

#include "apps/quennet-render/AiffSampleRate.h"
#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/PipeInput.h"

namespace render {

namespace {

// Sample rates the renderer takes, in Hz. The grain voices size their recordings by the rate
// (about 0.8 kB per Hz for the whole plug-in), so absurd rates are refused rather than allocated.
constexpr int kMinSampleRate = 1000;
constexpr int kMaxSampleRate = 384000;

constexpr long kReadChunkFrames = 4096;
constexpr std::size_t kLogBytes = 4096; // libsndfile keeps a log of at most 2 kB

SampleFormat nearestSampleFormat(int sndfileFormat)
{
  switch (sndfileFormat & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
    case SF_FORMAT_IMA_ADPCM:
    case SF_FORMAT_MS_ADPCM:
    case SF_FORMAT_GSM610:
    case SF_FORMAT_VOX_ADPCM:
    case SF_FORMAT_G721_32:
    case SF_FORMAT_G723_24:
    case SF_FORMAT_G723_40:
    case SF_FORMAT_DWVW_12:
    case SF_FORMAT_DWVW_16:
    case SF_FORMAT_DPCM_8:
    case SF_FORMAT_DPCM_16: return SampleFormat::Pcm16;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24: return SampleFormat::Pcm24;
    default: // 32-bit integers, floats, doubles and lossy codecs all decode to floats
      return SampleFormat::Float;
  }
}

std::string lowerExtension(const std::string& path)
{
  std::string ext = std::filesystem::path(path).extension().string();
  if (ext == ".")
    ext.clear(); // "out.wav." has no extension
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

int pcmSubtype(SampleFormat format)
{
  switch (format) {
    case SampleFormat::Pcm16: return SF_FORMAT_PCM_16;
    case SampleFormat::Pcm24: return SF_FORMAT_PCM_24;
    case SampleFormat::Float: return SF_FORMAT_FLOAT;
  }
  return SF_FORMAT_FLOAT;
}

// A file that takes whatever is written and forgets it, for trying an encoder.
struct NullFile {
  sf_count_t length = 0;
  sf_count_t position = 0;

  static NullFile& of(void* self) { return *static_cast<NullFile*>(self); }
  static sf_count_t fileLength(void* self) { return of(self).length; }
  static sf_count_t seek(sf_count_t offset, int whence, void* self)
  {
    NullFile& file = of(self);
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position : file.length;
    if (base + offset < 0)
      return -1;
    file.position = base + offset;
    return file.position;
  }
  static sf_count_t read(void*, sf_count_t, void*) { return 0; }
  static sf_count_t write(const void*, sf_count_t count, void* self)
  {
    NullFile& file = of(self);
    file.position += count;
    file.length = std::max(file.length, file.position);
    return count;
  }
  static sf_count_t tell(void* self) { return of(self).position; }
};

// Whether libsndfile can encode this format at this rate: a frame of silence through the encoder.
// Some encoders (Vorbis above 200 kHz) fail only when the first samples arrive.
bool canEncode(int sndfileFormat, int sampleRate)
{
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  info.format = sndfileFormat;
  if (!sf_format_check(&info))
    return false;
  NullFile sink;
  SF_VIRTUAL_IO io{&NullFile::fileLength, &NullFile::seek, &NullFile::read, &NullFile::write, &NullFile::tell};
  SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &sink);
  if (!file)
    return false;
  const float silence[2] = {0.0f, 0.0f};
  const bool wrote = sf_writef_float(file, silence, 1) == 1;
  return sf_close(file) == 0 && wrote;
}

} // namespace

AudioReader::AudioReader(const std::string& path) : mPath(path)
{
  const std::string cannot = "cannot read " + inQuotes(path) + ": ";
  mFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (mFd < 0)
    throw BadInput(cannot + (errno == ENOENT ? std::string("no such file") : systemError()));
  try {
    struct stat status {};
    if (::fstat(mFd, &status) != 0)
      throw BadInput(cannot + systemError());
    if (S_ISDIR(status.st_mode))
      throw BadInput(cannot + "it is a folder");
    mPlace = placeOf(status);
    if (!canSeek(mFd) && !streamsThroughPipe(mFd)) {
      const int copy = copyToTemporaryFile(mFd, path);
      ::close(mFd);
      mFd = copy;
    }

    SF_INFO info{};
    mFile = sf_open_fd(mFd, SFM_READ, &info, SF_FALSE);
    if (!mFile)
      throw BadInput(inQuotes(path) + " is not in an audio format quennet-render can read (" + sf_strerror(nullptr) +
                     ")");
    if (info.channels < 1 || info.channels > 2)
      throw BadInput(inQuotes(path) + " has " + std::to_string(info.channels) +
                     " channels; quennet-render takes mono or stereo");
    if (info.samplerate < kMinSampleRate || info.samplerate > kMaxSampleRate) {
      // libsndfile gives AIFF's floating-point rate as a whole number; the file says what it was.
      std::string rate = std::to_string(info.samplerate) + " Hz";
      if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF) {
        const std::optional<double> exact = aiffSampleRate(mFd);
        rate = exact ? describeSampleRate(*exact) : "outside that range";
      }
      throw BadInput(inQuotes(path) + " has a sample rate of " + rate + "; quennet-render takes 1000 to 384000 Hz");
    }
    mSampleRate = info.samplerate;
    mChannels = info.channels;
    mFormat = nearestSampleFormat(info.format);
    mAnnouncedFrames = info.frames > 0 && info.frames < (std::int64_t{1} << 48) ? info.frames : 0; // else a lie
    mOgg = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG;
    if (mOgg) {
      mLog.resize(kLogBytes);
      checkOggLog(); // the headers and the search for the last page are read already
    }
    mInterleaved.resize(static_cast<size_t>(kReadChunkFrames * mChannels));
  } catch (...) {
    close();
    throw;
  }
}

AudioReader::~AudioReader()
{
  close();
}

void AudioReader::close()
{
  if (mFile)
    sf_close(mFile);
  mFile = nullptr;
  if (mFd >= 0)
    ::close(mFd);
  mFd = -1;
}

void AudioReader::checkOggLog()
{
  sf_command(mFile, SFC_GET_LOG_INFO, mLog.data(), static_cast<int>(mLog.size()));
  mLog.back() = '\0';
  const char* log = mLog.data();
  const char* skipped = std::strstr(log, "Skipped ");
  if (!std::strstr(log, "Corrupted bitstream") && !std::strstr(log, "reports a hole"))
    return;
  long bytes = 0;
  std::string what = "a damaged Ogg page";
  if (skipped && std::sscanf(skipped, "Skipped %ld bytes", &bytes) == 1)
    what += " (" + std::to_string(bytes) + " bytes skipped to find the next one)";
  throw BadInput("cannot read " + inQuotes(mPath) + ": " + what);
}

long AudioReader::read(float* left, float* right, long frames)
{
  long done = 0;
  bool ended = false;
  while (done < frames) {
    const sf_count_t want = std::min(kReadChunkFrames, frames - done);
    const sf_count_t got = sf_readf_float(mFile, mInterleaved.data(), want);
    if (got <= 0) {
      ended = true;
      break;
    }
    for (sf_count_t i = 0; i < got; ++i) {
      const float l = mInterleaved[static_cast<size_t>(i * mChannels)];
      left[done + i] = l;
      right[done + i] = mChannels == 2 ? mInterleaved[static_cast<size_t>(i * 2 + 1)] : l;
    }
    done += static_cast<long>(got);
  }
  mFramesRead += done;
  if (sf_error(mFile) != SF_ERR_NO_ERROR)
    throw BadInput("cannot read " + inQuotes(mPath) + ": " + sf_strerror(mFile));
  if (mOgg) {
    checkOggLog();
    // The last page's position tells how many frames the stream holds; fewer decoded means pages
    // went missing inside it (a file cut off cleanly ends at its last page, and says so).
    if (ended && mAnnouncedFrames > 0 && mFramesRead < mAnnouncedFrames)
      throw BadInput("cannot read " + inQuotes(mPath) + ": a damaged Ogg stream (" +
                     std::to_string(mAnnouncedFrames - mFramesRead) + " of its " + std::to_string(mAnnouncedFrames) +
                     " frames are missing)");
  }
  return done;
}

OutputEncoding chooseOutputEncoding(const std::string& outputPath, std::optional<SampleFormat> requested,
                                    SampleFormat inputFormat, int sampleRate)
{
  std::error_code ec;
  if (std::filesystem::is_directory(outputPath, ec))
    throw BadInput(inQuotes(outputPath) + " is a folder");
  const std::string ext = lowerExtension(outputPath);
  const SampleFormat format = requested.value_or(inputFormat);
  OutputEncoding encoding;
  if (ext == ".wav" || ext == ".aiff" || ext == ".aif") {
    const bool wav = ext == ".wav";
    static const char* const kWav[] = {"WAV pcm16", "WAV pcm24", "WAV float"};
    static const char* const kAiff[] = {"AIFF pcm16", "AIFF pcm24", "AIFF float"};
    const int index = static_cast<int>(format);
    encoding = {(wav ? SF_FORMAT_WAV : SF_FORMAT_AIFF) | pcmSubtype(format), wav ? kWav[index] : kAiff[index],
                format == SampleFormat::Float};
  } else if (ext == ".flac") {
    if (requested == SampleFormat::Float)
      throw BadInput("FLAC cannot hold float samples; use --format pcm16 or pcm24 for " + inQuotes(outputPath));
    encoding = format == SampleFormat::Pcm16 ? OutputEncoding{SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC pcm16", false}
                                             : OutputEncoding{SF_FORMAT_FLAC | SF_FORMAT_PCM_24, "FLAC pcm24", false};
  } else if (ext == ".ogg") {
    encoding = {SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis", false};
  } else {
    throw BadInput("cannot write " + inQuotes(outputPath) + ": unsupported file type " +
                   (ext.empty() ? std::string("(no extension)") : inQuotes(ext)) +
                   "; use .wav, .aiff, .aif, .flac or .ogg");
  }
  if (!canEncode(encoding.sndfileFormat, sampleRate))
    throw BadInput("cannot write " + inQuotes(outputPath) + ": libsndfile cannot write " + encoding.description +
                   " at " + std::to_string(sampleRate) + " Hz");
  return encoding;
}

OutputAudioFile::OutputAudioFile(const std::string& path, const OutputEncoding& encoding, int sampleRate)
    : mFile(path), mKeepsNonFinite(encoding.keepsNonFinite)
{
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  info.format = encoding.sndfileFormat;
  SF_VIRTUAL_IO io{&OutputAudioFile::fileLength, &OutputAudioFile::seek, &OutputAudioFile::readBytes,
                   &OutputAudioFile::writeBytes, &OutputAudioFile::tell};
  mSndfile = sf_open_virtual(&io, SFM_WRITE, &info, this);
  if (!mSndfile)
    throw BadInput("cannot write " + inQuotes(path) + " as " + encoding.description + ": " +
                   (mError != 0 ? writeError(mError) : std::string(sf_strerror(nullptr))));
  // Whole-number formats clip at full scale instead of wrapping round.
  sf_command(mSndfile, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  // The PEAK chunk of float files carries a time stamp; without it the same render gives the same bytes.
  sf_command(mSndfile, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

OutputAudioFile::~OutputAudioFile()
{
  if (mSndfile)
    sf_close(mSndfile);
}

// libsndfile's calls on the temporary file's descriptor; the first failure's errno is kept.

std::int64_t OutputAudioFile::fileLength(void* self)
{
  auto& file = *static_cast<OutputAudioFile*>(self);
  struct stat status {};
  if (::fstat(file.mFile.descriptor(), &status) != 0) {
    file.mError = file.mError ? file.mError : errno;
    return -1;
  }
  return status.st_size;
}

std::int64_t OutputAudioFile::seek(std::int64_t offset, int whence, void* self)
{
  auto& file = *static_cast<OutputAudioFile*>(self);
  const off_t position = ::lseek(file.mFile.descriptor(), offset, whence);
  if (position < 0)
    file.mError = file.mError ? file.mError : errno;
  return position;
}

std::int64_t OutputAudioFile::readBytes(void* data, std::int64_t count, void* self)
{
  auto& file = *static_cast<OutputAudioFile*>(self);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t got =
      ::read(file.mFile.descriptor(), static_cast<char*>(data) + done, static_cast<size_t>(count - done));
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      break;
    done += got;
  }
  return done;
}

std::int64_t OutputAudioFile::writeBytes(const void* data, std::int64_t count, void* self)
{
  auto& file = *static_cast<OutputAudioFile*>(self);
  std::int64_t done = 0;
  while (done < count) {
    const ssize_t written =
      ::write(file.mFile.descriptor(), static_cast<const char*>(data) + done, static_cast<size_t>(count - done));
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0) {
      file.mError = file.mError ? file.mError : (written < 0 ? errno : ENOSPC);
      break;
    }
    done += written;
  }
  return done;
}

std::int64_t OutputAudioFile::tell(void* self)
{
  auto& file = *static_cast<OutputAudioFile*>(self);
  return ::lseek(file.mFile.descriptor(), 0, SEEK_CUR);
}

std::string OutputAudioFile::failure() const
{
  return "cannot write " + inQuotes(mFile.target()) + ": " +
    (mError != 0 ? writeError(mError) : std::string(sf_strerror(mSndfile)));
}

void OutputAudioFile::write(float* interleaved, long frames)
{
  if (frames <= 0)
    return;
  if (!mKeepsNonFinite) {
    for (long i = 0; i < 2 * frames; ++i)
      if (!std::isfinite(interleaved[i])) {
        interleaved[i] = 0.0f;
        ++mReplaced;
      }
  }
  if (sf_writef_float(mSndfile, interleaved, frames) != frames || mError != 0)
    throw RenderFailure(failure());
}

void OutputAudioFile::finish()
{
  if (!mSndfile)
    return;
  sf_write_sync(mSndfile);
  const int error = sf_close(mSndfile);
  mSndfile = nullptr;
  if (mError != 0 || error != 0)
    throw RenderFailure("cannot write " + inQuotes(mFile.target()) + ": " +
                        (mError != 0   ? writeError(mError)
                           : error > 0 ? std::string(sf_error_number(error))
                                       : std::string("the encoder could not finish the file")));
  mFile.closeDescriptor();
}

} // namespace render
