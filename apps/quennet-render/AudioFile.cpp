#include "apps/quennet-render/AudioFile.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <strings.h>

#include "apps/quennet-render/Errors.h"

namespace render {

namespace {

// Sample rates the renderer takes, in Hz. The grain voices size their recordings by the rate
// (about 0.8 kB per Hz for the whole plug-in), so absurd rates are refused rather than allocated.
constexpr int kMinSampleRate = 1000;
constexpr int kMaxSampleRate = 384000;

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
    case SF_FORMAT_DPCM_16:
      return SampleFormat::Pcm16;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_DWVW_24:
    case SF_FORMAT_ALAC_20:
    case SF_FORMAT_ALAC_24:
      return SampleFormat::Pcm24;
    default:  // 32-bit integers, floats, doubles and lossy codecs all decode to floats
      return SampleFormat::Float;
  }
}

std::string lowerExtension(const std::string& path)
{
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
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

} // namespace

InputAudio readAudioFile(const std::string& path)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(path, ec))
    throw BadInput("cannot read " + inQuotes(path) + ": no such file");
  if (fs::is_directory(path, ec))
    throw BadInput("cannot read " + inQuotes(path) + ": it is a folder");
  const int probe = ::open(path.c_str(), O_RDONLY);
  if (probe < 0)
    throw BadInput("cannot read " + inQuotes(path) + ": " + systemError());
  ::close(probe);

  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file)
    throw BadInput(inQuotes(path) + " is not in an audio format quennet-render can read (" + sf_strerror(nullptr) + ")");
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);

  if (info.channels < 1 || info.channels > 2)
    throw BadInput(inQuotes(path) + " has " + std::to_string(info.channels) +
                   " channels; quennet-render takes mono or stereo");
  if (info.samplerate < kMinSampleRate || info.samplerate > kMaxSampleRate)
    throw BadInput(inQuotes(path) + " has a sample rate of " + std::to_string(info.samplerate) +
                   " Hz; quennet-render takes 1000 to 384000 Hz");

  InputAudio audio;
  audio.sampleRate = info.samplerate;
  audio.channels = info.channels;
  audio.format = nearestSampleFormat(info.format);
  if (info.frames > 0 && info.frames < SF_COUNT_MAX) {
    audio.left.reserve(static_cast<size_t>(info.frames));
    audio.right.reserve(static_cast<size_t>(info.frames));
  }

  // The frame count in a header may be wrong (a truncated file); read until the data ends.
  constexpr sf_count_t kChunkFrames = 16384;
  std::vector<float> chunk(static_cast<size_t>(kChunkFrames * info.channels));
  for (;;) {
    const sf_count_t got = sf_readf_float(file, chunk.data(), kChunkFrames);
    if (got <= 0)
      break;
    for (sf_count_t i = 0; i < got; ++i) {
      const float l = chunk[static_cast<size_t>(i * info.channels)];
      const float r = info.channels == 2 ? chunk[static_cast<size_t>(i * 2 + 1)] : l;
      audio.left.push_back(l);
      audio.right.push_back(r);
    }
  }
  if (sf_error(file) != SF_ERR_NO_ERROR)
    throw BadInput("cannot read " + inQuotes(path) + ": " + sf_strerror(file));
  return audio;
}

OutputEncoding chooseOutputEncoding(const std::string& outputPath, std::optional<SampleFormat> requested,
                                    SampleFormat inputFormat)
{
  std::error_code ec;
  if (std::filesystem::is_directory(outputPath, ec))
    throw BadInput(inQuotes(outputPath) + " is a folder");
  const std::string ext = lowerExtension(outputPath);
  const SampleFormat format = requested.value_or(inputFormat);
  if (ext == ".wav" || ext == ".aiff" || ext == ".aif") {
    const bool wav = ext == ".wav";
    static const char* const kWav[] = {"WAV pcm16", "WAV pcm24", "WAV float"};
    static const char* const kAiff[] = {"AIFF pcm16", "AIFF pcm24", "AIFF float"};
    const int index = static_cast<int>(format);
    return {(wav ? SF_FORMAT_WAV : SF_FORMAT_AIFF) | pcmSubtype(format), wav ? kWav[index] : kAiff[index]};
  }
  if (ext == ".flac") {
    if (requested == SampleFormat::Float)
      throw BadInput("FLAC cannot hold float samples; use --format pcm16 or pcm24 for " + inQuotes(outputPath));
    if (format == SampleFormat::Pcm16)
      return {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "FLAC pcm16"};
    return {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, "FLAC pcm24"};
  }
  if (ext == ".ogg")
    return {SF_FORMAT_OGG | SF_FORMAT_VORBIS, "Ogg Vorbis"};
  throw BadInput("cannot write " + inQuotes(outputPath) + ": unsupported file type " +
                 (ext.empty() ? std::string("(no extension)") : inQuotes(ext)) + "; use .wav, .aiff, .aif, .flac or .ogg");
}

OutputAudioFile::OutputAudioFile(const std::string& path, const OutputEncoding& encoding, int sampleRate)
  : mFile(path)
{
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 2;
  info.format = encoding.sndfileFormat;
  if (!sf_format_check(&info))
    throw BadInput(std::string("libsndfile cannot write ") + encoding.description + " at " +
                   std::to_string(sampleRate) + " Hz");
  // The descriptor stays ours: PendingFile flushes and closes it.
  mSndfile = sf_open_fd(mFile.descriptor(), SFM_WRITE, &info, SF_FALSE);
  if (!mSndfile)
    throw BadInput("cannot write " + inQuotes(path) + " as " + encoding.description + ": " + sf_strerror(nullptr));
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

void OutputAudioFile::write(const float* interleaved, long frames)
{
  if (frames <= 0)
    return;
  if (sf_writef_float(mSndfile, interleaved, frames) != frames)
    throw RenderFailure("cannot write " + inQuotes(mFile.target()) + ": " + sf_strerror(mSndfile));
}

void OutputAudioFile::commit()
{
  sf_write_sync(mSndfile);
  const int error = sf_close(mSndfile);
  mSndfile = nullptr;
  if (error != 0)
    throw RenderFailure("cannot write " + inQuotes(mFile.target()) + ": " + sf_error_number(error));
  mFile.commit();
}

} // namespace render
