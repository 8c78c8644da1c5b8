// quennet-render: renders audio files through the Quennet plug-in exactly as a host plays them,
// through the framework's processing call with float buffers, MIDI and transport.
// See usageText() in Options.cpp for the command line.

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "apps/quennet-render/AudioFile.h"
#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Listing.h"
#include "apps/quennet-render/MidiFile.h"
#include "apps/quennet-render/Options.h"
#include "apps/quennet-render/Pictures.h"
#include "apps/quennet-render/PluginSetup.h"
#include "apps/quennet-render/ProgressBar.h"
#include "apps/quennet-render/Renderer.h"

namespace render {
namespace {

std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// Ctrl-C or a kill during the render stops it cleanly, so the pending output is removed.
class InterruptHandlers {
public:
  InterruptHandlers()
  {
    mPreviousInt = std::signal(SIGINT, &InterruptHandlers::handle);
    mPreviousTerm = std::signal(SIGTERM, &InterruptHandlers::handle);
  }
  ~InterruptHandlers()
  {
    std::signal(SIGINT, mPreviousInt);
    std::signal(SIGTERM, mPreviousTerm);
  }
  InterruptHandlers(const InterruptHandlers&) = delete;
  InterruptHandlers& operator=(const InterruptHandlers&) = delete;

private:
  static void handle(int) { gInterrupted.store(true); }

  void (*mPreviousInt)(int) = SIG_DFL;
  void (*mPreviousTerm)(int) = SIG_DFL;
};

std::string number(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

void printToStdout(const std::string& text)
{
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
    throw RenderFailure("cannot write to standard output");
}

int render(const Options& options)
{
  // From here on Ctrl-C stops at the next block instead of killing the process, so no pending
  // file is left behind.
  InterruptHandlers interruptHandlers;

  // Everything the command line names is checked before anything is rendered or written.
  InputAudio input = readAudioFile(options.input);
  const int rate = input.sampleRate;
  std::vector<TimedMidiEvent> midi;
  if (!options.midiFile.empty())
    midi = readMidiFile(options.midiFile, rate);
  const OutputEncoding encoding = chooseOutputEncoding(options.output, options.format, input.format);

  std::unique_ptr<plug::IPlugin> plugin = makePlugin();
  const int preset = findPreset(*plugin, options.preset);
  std::vector<ParamSetting> settings;
  for (const auto& [name, value] : options.settings)
    settings.push_back(resolveSetting(*plugin, name, value));

  std::unique_ptr<PendingPicture> picture;
  if (!options.waveform.empty())
    picture = std::make_unique<PendingPicture>(options.waveform);
  OutputAudioFile output(options.output, encoding, rate);

  applyPreset(*plugin, preset);
  for (size_t i = 0; i < settings.size(); ++i) {
    const plug::IParam& param = *plugin->GetParam(settings[i].paramIdx);
    if (settings[i].outOfRange)
      printWarning(options.settings[i].first + "=" + options.settings[i].second + " is outside " +
                   number(param.GetMin()) + " to " + number(param.GetMax()) + "; the nearest end is used");
    applySetting(*plugin, settings[i]);
  }

  // The stream: the input, then the tail's silence. All buffers are made before the render.
  const std::int64_t frames = input.frames() + std::llround(options.tailSeconds * rate);
  input.left.resize(static_cast<size_t>(frames), 0.0f);
  input.right.resize(static_cast<size_t>(frames), 0.0f);
  InputAudio rendered;
  rendered.left.resize(static_cast<size_t>(frames));
  rendered.right.resize(static_cast<size_t>(frames));
  rendered.sampleRate = rate;
  rendered.channels = 2;
  std::vector<float> interleaved(2 * static_cast<size_t>(options.blockSize));

  HostSettings host;
  host.sampleRate = rate;
  host.blockSize = options.blockSize;
  host.transport = options.transport;
  host.tempo = options.tempo;
  host.position = options.position;
  Renderer renderer(*plugin, host, midi, frames);

  ProgressBar progress(!options.quiet, frames, rate);
  renderer.run(input.left.data(), input.right.data(), rendered.left.data(), rendered.right.data(),
               [&](std::int64_t start, int n) {
                 const float* left = rendered.left.data() + start;
                 const float* right = rendered.right.data() + start;
                 for (int i = 0; i < n; ++i) {
                   interleaved[2 * static_cast<size_t>(i)] = left[i];
                   interleaved[2 * static_cast<size_t>(i) + 1] = right[i];
                 }
                 output.write(interleaved.data(), n);
                 progress.update(start + n);
                 if (gInterrupted.load())
                   throw RenderFailure("interrupted; " + inQuotes(options.output) + " is left as it was");
               });
  progress.finish();
  if (gInterrupted.load())
    throw RenderFailure("interrupted; " + inQuotes(options.output) + " is left as it was");

  if (picture)
    drawRenderPicture(*picture, options.input, input, options.output, rendered);
  output.commit();
  if (picture)
    picture->commit();
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
    case Options::Mode::Render: return render(options);
  }
  return kExitSuccess;
}

} // namespace
} // namespace render

int main(int argc, char** argv)
{
  using namespace render;
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
