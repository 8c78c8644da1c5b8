// SPDX-License-Identifier: ISC
// quennet-render: renders audio files through the Quennet plug-in exactly as a host plays them,
// through the framework's processing call with float buffers, MIDI and transport.
// See usageText() in Options.cpp for the command line.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "apps/quennet-render/AudioFile.h"
#include "apps/quennet-render/EditorPicture.h"
#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Interruption.h"
#include "apps/quennet-render/Listing.h"
#include "apps/quennet-render/MidiFile.h"
#include "apps/quennet-render/Options.h"
#include "apps/quennet-render/PendingFile.h"
#include "apps/quennet-render/Pictures.h"
#include "apps/quennet-render/PluginSetup.h"
#include "apps/quennet-render/ProgressBar.h"
#include "apps/quennet-render/Renderer.h"

namespace render {
namespace {

void printToStdout(const std::string& text)
{
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
    throw RenderFailure("cannot write to standard output");
}

// The stream's next block: input frames until the input ends, then the tail's silence. Returns
// the frames of the block and, in `fromInput`, how many of them came from the input.
long nextBlock(AudioReader& input, bool& inputEnded, std::int64_t& tailLeft, float* left, float* right, long size,
               long& fromInput)
{
  fromInput = inputEnded ? 0 : input.read(left, right, size);
  inputEnded = inputEnded || fromInput < size;
  const long silence = static_cast<long>(std::min<std::int64_t>(size - fromInput, tailLeft));
  std::fill(left + fromInput, left + fromInput + silence, 0.0f);
  std::fill(right + fromInput, right + fromInput + silence, 0.0f);
  tailLeft -= silence;
  return fromInput + silence;
}

// No output may be an input, nor both outputs one file, whatever names lead there.
void checkDistinct(const PendingFile& output, const FilePlace& other, const std::string& otherName)
{
  if (output.place() == other)
    throw BadInput(inQuotes(output.target()) + " is the same file as " + otherName);
}

int render(const Options& options)
{
  setInterruptNote(inQuotes(options.output) + " is left as it was");

  // Everything the command line names is checked before anything is rendered or written.
  AudioReader input(options.input);
  const int rate = input.sampleRate();
  std::unique_ptr<MidiFile> midi;
  if (!options.midiFile.empty())
    midi = std::make_unique<MidiFile>(options.midiFile, rate);
  const OutputEncoding encoding = chooseOutputEncoding(options.output, options.format, input.format(), rate);

  std::unique_ptr<plug::IPlugin> plugin = makePlugin();
  const PluginSettings settings = resolvePluginSettings(*plugin, options.preset, options.settings);

  std::unique_ptr<RenderPicture> picture;
  if (!options.waveform.empty())
    picture =
      std::make_unique<RenderPicture>(options.waveform, options.input, input.channels() == 2, options.output, rate);
  OutputAudioFile output(options.output, encoding, rate);
  std::vector<PendingFile*> outputs = {&output.file()};
  if (picture)
    outputs.push_back(&picture->file());
  for (PendingFile* file : outputs) {
    checkDistinct(*file, input.place(), "the input " + inQuotes(options.input));
    if (midi && midi->place())
      checkDistinct(*file, *midi->place(), "the MIDI file " + inQuotes(options.midiFile));
  }
  if (picture)
    checkDistinct(picture->file(), output.file().place(), "OUTPUT " + inQuotes(options.output));

  applyPluginSettings(*plugin, settings, options.settings);

  // The stream: the input, then the tail's silence, read, rendered and written a block at a
  // time, so memory stays the same whatever the length. All buffers are made before the render.
  const long blockSize = options.blockSize;
  std::vector<float> inLeft(static_cast<size_t>(blockSize)), inRight(static_cast<size_t>(blockSize));
  std::vector<float> outLeft(static_cast<size_t>(blockSize)), outRight(static_cast<size_t>(blockSize));
  std::vector<float> interleaved(2 * static_cast<size_t>(blockSize));
  std::int64_t tailLeft = std::llround(options.tailSeconds * rate);

  HostSettings host;
  host.sampleRate = rate;
  host.blockSize = options.blockSize;
  host.transport = options.transport;
  host.tempo = options.tempo;
  host.position = options.position;
  Renderer renderer(*plugin, host, midi.get());

  ProgressBar progress(!options.quiet, input.announcedFrames() > 0 ? input.announcedFrames() + tailLeft : 0, rate);
  renderer.prepare();
  bool inputEnded = false;
  for (;;) {
    long fromInput = 0;
    const long n = nextBlock(input, inputEnded, tailLeft, inLeft.data(), inRight.data(), blockSize, fromInput);
    if (n == 0)
      break;
    if (picture)
      picture->addInput(inLeft.data(), inRight.data(), fromInput);
    renderer.process(inLeft.data(), inRight.data(), outLeft.data(), outRight.data(), static_cast<int>(n));
    if (picture)
      picture->addOutput(outLeft.data(), outRight.data(), n);
    for (long i = 0; i < n; ++i) {
      interleaved[2 * static_cast<size_t>(i)] = outLeft[static_cast<size_t>(i)];
      interleaved[2 * static_cast<size_t>(i) + 1] = outRight[static_cast<size_t>(i)];
    }
    output.write(interleaved.data(), n);
    progress.update(renderer.framesDone());
  }
  progress.finish();

  if (picture)
    picture->draw();
  output.finish();
  // Both files are complete; they take their places together or not at all.
  holdInterruptsUntilExit();
  commitTogether(outputs);
  if (output.replacedSamples() > 0)
    printWarning(std::to_string(output.replacedSamples()) + " output samples were NaN or infinite; " +
                 encoding.description + " cannot hold them, so they are written as 0");
  if (renderer.lateMidiEvents() > 0)
    printWarning(std::to_string(renderer.lateMidiEvents()) + " MIDI events did not fit their block (at most " +
                 std::to_string(kMaxMidiEventsPerBlock) + " in one) and were played in the blocks after it");
  return kExitSuccess;
}

int run(const std::vector<std::string>& args)
{
  const Options options = parseOptions(args);
  switch (options.mode) {
    case Options::Mode::Help: printToStdout(usageText()); return kExitSuccess;
    case Options::Mode::ListParams: printToStdout(listParameters(*makePlugin(), options.markdown)); return kExitSuccess;
    case Options::Mode::ListPresets: printToStdout(listPresets(*makePlugin(), options.markdown)); return kExitSuccess;
    case Options::Mode::Overview: writeOverview(options.overviewPicture, options.overviewFiles); return kExitSuccess;
    case Options::Mode::EditorPicture: writeEditorPicture(options); return kExitSuccess;
    case Options::Mode::Render: return render(options);
  }
  return kExitSuccess;
}

} // namespace
} // namespace render

int main(int argc, char** argv)
{
  using namespace render;
  // From the first moment, Ctrl-C ends the program cleanly, wherever it waits.
  installInterruptHandlers();
  int status = kExitSuccess;
  try {
    status = run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const BadInput& e) {
    printError(e.what());
    status = kExitBadInput;
  } catch (const RenderFailure& e) {
    printError(e.what());
    status = kExitRenderFailure;
  } catch (const std::bad_alloc&) {
    printError("out of memory");
    status = kExitRenderFailure;
  } catch (const std::exception& e) {
    printError(e.what());
    status = kExitRenderFailure;
  }
  releaseDrawingCaches();
  return status;
}
