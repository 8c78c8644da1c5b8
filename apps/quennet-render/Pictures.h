// SPDX-License-Identifier: ISC
#pragma once

#include <string>
#include <vector>

#include "apps/quennet-render/PendingFile.h"
#include "apps/quennet-render/WaveformPicture.h"

namespace render {

// A waveform picture drawn into a PendingFile beside its target, so that the target is replaced
// only together with the render's output.
class PendingPicture {
public:
  // Checks the target (a .png name in a folder that can take a new file). Throws BadInput.
  explicit PendingPicture(const std::string& path);

  // Draws one row per entry. Throws RenderFailure.
  void draw(const std::vector<render::WaveformRow>& rows);
  // A picture drawn elsewhere, as PNG bytes. Throws RenderFailure.
  void write(const std::vector<unsigned char>& png) { mFile.write(png.data(), png.size()); }
  void commit() { mFile.commit(); }
  PendingFile& file() { return mFile; }

private:
  PendingFile mFile;
};

// The picture of a render: the input as it is in its file (mono stays mono) above the output,
// both gathered block by block while the render runs.
class RenderPicture {
public:
  // Throws BadInput as PendingPicture does.
  RenderPicture(const std::string& picturePath, const std::string& inputPath, bool stereoInput,
                const std::string& outputPath, int sampleRate);

  void addInput(const float* left, const float* right, long frames);
  void addOutput(const float* left, const float* right, long frames);
  // Throws RenderFailure.
  void draw() { mPicture.draw(mRows); }
  PendingFile& file() { return mPicture.file(); }

private:
  PendingPicture mPicture;
  std::vector<render::WaveformRow> mRows; // input, output
  bool mStereoInput;
};

// One picture of several audio files, one row each titled with the file's name, all on the same
// time scale. Each file is read block by block and keeps only what its row needs (a few values
// per pixel column). Throws BadInput, before reading any file, for more files than one picture
// has rows for, a missing one or a picture that is one of the files; later for an unreadable
// file. RenderFailure when drawing fails.
void writeOverview(const std::string& picturePath, const std::vector<std::string>& files);

// What one row of an overview keeps of each channel: 8192 stretches hold 2.6 to 5.3 for each pixel
// column of the 1546-pixel band, 192 kB.
constexpr long kOverviewStretches = 8192;

// Releases what the drawing libraries keep until the process ends (font caches), so leak checkers
// report only real leaks. Call once, at the end of main.
void releaseDrawingCaches();

} // namespace render
