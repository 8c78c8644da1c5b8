#pragma once

#include <memory>
#include <string>
#include <vector>

#include "apps/quennet-render/AudioFile.h"
#include "apps/quennet-render/PendingFile.h"

namespace render {

// A waveform picture drawn into a PendingFile beside its target, so that the target is replaced
// only together with the render's output.
class PendingPicture {
public:
  // Checks the target (a .png name in a folder that can take a new file). Throws BadInput.
  explicit PendingPicture(const std::string& path);

  // Draws one row per audio. Throws RenderFailure.
  void draw(const std::vector<std::pair<std::string, const InputAudio*>>& rows);
  void commit() { mFile.commit(); }

private:
  PendingFile mFile;
};

// Rows for the input and output of a render: the input as it is in its file (mono stays mono),
// the output as rendered.
void drawRenderPicture(PendingPicture& picture, const std::string& inputName, const InputAudio& input,
                       const std::string& outputName, const InputAudio& output);

// One picture of several audio files, one row each titled with the file's name, all on the same
// time scale. Throws BadInput for an unreadable file, RenderFailure when drawing fails.
void writeOverview(const std::string& picturePath, const std::vector<std::string>& files);

// Releases what the drawing libraries keep until the process ends (font caches), so leak checkers
// report only real leaks. Call once, at the end of main.
void releaseDrawingCaches();

} // namespace render
