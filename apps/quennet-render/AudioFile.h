#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apps/quennet-render/PendingFile.h"
#include "apps/quennet-render/SampleFormat.h"

typedef struct sf_private_tag SNDFILE;

namespace render {

// An audio file read whole into memory, as two planar float channels (a mono file gives two
// equal channels).
struct InputAudio {
  std::vector<float> left;   // full scale is -1 … 1
  std::vector<float> right;
  int sampleRate = 0;      // Hz
  int channels = 0;        // in the file: 1 or 2
  SampleFormat format = SampleFormat::Float;  // the nearest of ours to the file's encoding

  long frames() const { return static_cast<long>(left.size()); }
};

// Reads a file libsndfile understands. Throws BadInput for a missing or unreadable file, a format
// libsndfile does not know, more than two channels or a broken file.
InputAudio readAudioFile(const std::string& path);

// What goes into OUTPUT: libsndfile's major format (from the extension) and encoding.
struct OutputEncoding {
  int sndfileFormat = 0;
  const char* description = "";  // e.g. "WAV float"
};

// Picks the container from OUTPUT's extension (.wav, .aiff, .aif, .flac, .ogg, any case) and the
// encoding from `requested`, or from the input's format when nothing is requested:
// Ogg Vorbis has its own encoding and ignores the format; FLAC holds whole numbers only, so an
// explicit float is refused and a float input becomes pcm24. Throws BadInput.
OutputEncoding chooseOutputEncoding(const std::string& outputPath, std::optional<SampleFormat> requested,
                                    SampleFormat inputFormat);

// Stereo output written block by block into a PendingFile, which becomes OUTPUT on commit().
class OutputAudioFile {
public:
  // Throws BadInput when the file cannot be created with this format and rate.
  OutputAudioFile(const std::string& path, const OutputEncoding& encoding, int sampleRate);
  ~OutputAudioFile();
  OutputAudioFile(const OutputAudioFile&) = delete;
  OutputAudioFile& operator=(const OutputAudioFile&) = delete;

  // Interleaved left/right frames. Allocates nothing. Throws RenderFailure.
  void write(const float* interleaved, long frames);
  // Finishes the file and puts it in OUTPUT's place. Throws RenderFailure.
  void commit();

private:
  PendingFile mFile;
  SNDFILE* mSndfile = nullptr;
};

} // namespace render
