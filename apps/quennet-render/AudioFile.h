// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apps/quennet-render/FilePlace.h"
#include "apps/quennet-render/PendingFile.h"
#include "apps/quennet-render/SampleFormat.h"

typedef struct sf_private_tag SNDFILE;

namespace render {

// An audio file read block by block as two planar float channels (a mono file gives two equal
// channels); memory stays the same whatever the file's length. Only the frames actually read
// count: the frame count in a header may be wrong (a truncated file, or a lie). A file cut off
// cleanly gives what it holds; one damaged inside (a FLAC frame, an Ogg page) is refused.
class AudioReader {
public:
  // Opens a file libsndfile understands (a FIFO too; open() waits for its writer, and a format
  // that cannot stream through a pipe is copied into a temporary file first, see PipeInput.h).
  // Throws BadInput for a missing or unreadable file, a format libsndfile does not know, more than
  // two channels or a sample rate outside 1000 … 384000 Hz; RenderFailure when no temporary copy
  // can be made.
  explicit AudioReader(const std::string& path);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  int sampleRate() const { return mSampleRate; } // Hz
  int channels() const { return mChannels; } // in the file: 1 or 2
  SampleFormat format() const { return mFormat; } // the nearest of ours to the file's encoding
  // What the header announces, for a progress estimate only; 0 when it does not say.
  std::int64_t announcedFrames() const { return mAnnouncedFrames; }
  // Where the file is, to keep outputs off it.
  const FilePlace& place() const { return mPlace; }

  // Up to `frames` frames (full scale -1 … 1); fewer only at the end of the data, then 0.
  // Throws BadInput when the file turns out broken.
  long read(float* left, float* right, long frames);

private:
  void checkOggLog();
  void close();

  std::string mPath;
  FilePlace mPlace;
  int mFd = -1;
  SNDFILE* mFile = nullptr;
  int mSampleRate = 0;
  int mChannels = 0;
  SampleFormat mFormat = SampleFormat::Float;
  std::int64_t mAnnouncedFrames = 0;
  std::int64_t mFramesRead = 0;
  // libsndfile's Ogg reader skips a damaged page and splices the rest on, saying so only in its
  // log; an Ogg file's log is read after every chunk.
  bool mOgg = false;
  std::vector<char> mLog;
  std::vector<float> mInterleaved;
};

// What goes into OUTPUT: libsndfile's major format (from the extension) and encoding.
struct OutputEncoding {
  int sndfileFormat = 0;
  const char* description = ""; // e.g. "WAV float"
  bool keepsNonFinite = false; // float files hold NaN and infinity; the others get 0 instead
};

// Picks the container from OUTPUT's extension (.wav, .aiff, .aif, .flac, .ogg, any case) and the
// encoding from `requested`, or from the input's format when nothing is requested:
// Ogg Vorbis has its own encoding and ignores the format; FLAC holds whole numbers only, so an
// explicit float is refused and a float input becomes pcm24. Tries the encoder at `sampleRate`
// (Vorbis goes only up to 200 kHz). Throws BadInput.
OutputEncoding chooseOutputEncoding(const std::string& outputPath, std::optional<SampleFormat> requested,
                                    SampleFormat inputFormat, int sampleRate);

// Stereo output written block by block into a PendingFile, which becomes OUTPUT when committed.
// libsndfile writes through our own calls on the file's descriptor, so a failed write is
// reported with the system's reason ("disk full").
class OutputAudioFile {
public:
  // Throws BadInput when the file cannot be created with this format and rate.
  OutputAudioFile(const std::string& path, const OutputEncoding& encoding, int sampleRate);
  ~OutputAudioFile();
  OutputAudioFile(const OutputAudioFile&) = delete;
  OutputAudioFile& operator=(const OutputAudioFile&) = delete;

  // Interleaved left/right frames. Where the encoding cannot hold NaN or infinity, such samples
  // are written as 0 (in place). Allocates nothing. Throws RenderFailure.
  void write(float* interleaved, long frames);
  // Samples written as 0 because they were NaN or infinite.
  std::int64_t replacedSamples() const { return mReplaced; }

  // Completes the file on disk under its temporary name. Throws RenderFailure.
  void finish();
  // The file under its temporary name, to be put in OUTPUT's place (with a picture) once finished.
  PendingFile& file() { return mFile; }

private:
  static std::int64_t fileLength(void* self);
  static std::int64_t seek(std::int64_t offset, int whence, void* self);
  static std::int64_t readBytes(void* data, std::int64_t count, void* self);
  static std::int64_t writeBytes(const void* data, std::int64_t count, void* self);
  static std::int64_t tell(void* self);
  std::string failure() const;

  PendingFile mFile;
  SNDFILE* mSndfile = nullptr;
  bool mKeepsNonFinite = false;
  int mError = 0; // errno of the first failed system call on the file
  std::int64_t mReplaced = 0;
};

} // namespace render
