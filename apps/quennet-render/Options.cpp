// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <strings.h>

#include "apps/quennet-render/Errors.h"

namespace render {

const char* usageText()
{
  return R"(Usage: quennet-render [OPTIONS] INPUT OUTPUT
       quennet-render --list-presets | --list-params [--markdown]
       quennet-render --overview PICTURE.png FILE...
       quennet-render --editor-picture PICTURE.png [--scale S] [-p N|NAME] [-s NAME=VALUE]...

Renders an audio file through the Quennet plug-in exactly as a host plays it: float buffers,
MIDI and transport go through the plug-in's processing call block by block.

  -p, --preset N|NAME     factory preset, index 0-9 or its name (default 0)
  -s, --set NAME=VALUE    set a parameter after the preset; NAME as in the parameter list, case-insensitive;
                          VALUE a plain number or one of the parameter's display texts
                          ("Grain Mode=FREQ", "Grain Sync=1/8", "Frame Sync to Host=on"); repeatable, applied in order
      --tempo BPM         host tempo, above 0 and at most 1000 (default 120)
      --position N        song position, in samples, of the first frame, 0-4503599627370496 (2^52; default 0)
      --no-transport      the host gives no tempo and no position (the processing call's defaults apply)
  -b, --block N           frames per processing call, 1-65536 (default 512)
      --midi FILE         a Standard MIDI File played along; an event at frame t (from the file's own tempo map, counted
                          from the first input frame) goes to the block with start <= t < start + length, in file order
      --tail SECONDS      silence appended to the input, 0-3600 (default 0); the whole stream is cut into blocks of
                          N frames, only the last may be shorter
      --format F          pcm16 | pcm24 | float (default: the input's)
      --waveform FILE.png a picture of the input and output waveforms
      --list-presets, --list-params   print the presets, or every parameter with range, default and display texts
      --markdown          print those lists as Markdown tables
      --overview PICTURE.png FILE...  one picture of the waveforms of up to 272 audio files
      --editor-picture PICTURE.png    the plug-in's editor as it shows the preset and the --set values
      --scale S           the editor picture's scale, 0.25-4 (default 0.5: 984 x 432 pixels)
  -q, --quiet             no progress bar
  -h, --help

OUTPUT's extension picks the container: .wav, .aiff/.aif, .flac or .ogg (Ogg Vorbis, which ignores
--format; FLAC holds pcm16 or pcm24 only). Mono input plays on both channels; the output is stereo
at the input's sample rate. OUTPUT is replaced only when the render succeeds.

Exit status: 0 success, 1 the render failed, 2 bad input (arguments or files).
)";
}

namespace {

// What the options given so far said beyond their own fields, for the checks that combine them.
struct OptionsSeen {
  bool tempoOrPosition = false;
  bool help = false;
  bool scale = false;
  int otherModes = 0; // --list-presets, --list-params, --overview, --editor-picture
};

// A whole number, optionally signed, that fills the whole text and fits 64 bits.
bool readWholeNumber(const std::string& text, long long& value)
{
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())))
    return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return end == text.c_str() + text.size() && errno != ERANGE;
}

// A value that names a file (or a preset): anything but empty.
const std::string& nonEmpty(const std::string& value, const char* complaint)
{
  if (value.empty())
    throw BadInput(complaint);
  return value;
}

// ---- One function per option: checks the value and records it ----

using ApplyOption = void (*)(Options& options, const std::string& value, OptionsSeen& seen);

void applyPreset(Options& options, const std::string& value, OptionsSeen&)
{
  options.preset = nonEmpty(value, "--preset needs a preset index 0-9 or a preset name");
}

void applySet(Options& options, const std::string& value, OptionsSeen&)
{
  const size_t eq = value.find('=');
  if (eq == std::string::npos || eq == 0)
    throw BadInput("--set needs NAME=VALUE, not " + inQuotes(value));
  options.settings.emplace_back(value.substr(0, eq), value.substr(eq + 1));
}

void applyTempo(Options& options, const std::string& value, OptionsSeen& seen)
{
  double bpm = 0.0;
  if (!readNumber(value, bpm) || !(bpm > 0.0) || bpm > kMaxTempo)
    throw BadInput("--tempo must be a number of beats per minute above 0 and at most 1000, not " + inQuotes(value));
  options.tempo = bpm;
  seen.tempoOrPosition = true;
}

void applyPosition(Options& options, const std::string& value, OptionsSeen& seen)
{
  long long samples = 0;
  if (!readWholeNumber(value, samples) || samples < 0 || samples > kMaxPosition)
    throw BadInput("--position must be a whole number of samples from 0 to " + std::to_string(kMaxPosition) + ", not " +
                   inQuotes(value));
  options.position = samples;
  seen.tempoOrPosition = true;
}

void applyNoTransport(Options& options, const std::string&, OptionsSeen&)
{
  options.transport = false;
}

void applyBlock(Options& options, const std::string& value, OptionsSeen&)
{
  long long frames = 0;
  if (!readWholeNumber(value, frames) || frames < kMinBlockSize || frames > kMaxBlockSize)
    throw BadInput("block size must be a whole number from 1 to 65536, not " + inQuotes(value));
  options.blockSize = static_cast<int>(frames);
}

void applyMidi(Options& options, const std::string& value, OptionsSeen&)
{
  options.midiFile = nonEmpty(value, "--midi needs a file name");
}

void applyTail(Options& options, const std::string& value, OptionsSeen&)
{
  double seconds = 0.0;
  if (!readNumber(value, seconds) || seconds < 0.0 || seconds > kMaxTailSeconds)
    throw BadInput("--tail must be a number of seconds from 0 to 3600, not " + inQuotes(value));
  options.tailSeconds = seconds;
}

void applyFormat(Options& options, const std::string& value, OptionsSeen&)
{
  if (strcasecmp(value.c_str(), "pcm16") == 0)
    options.format = SampleFormat::Pcm16;
  else if (strcasecmp(value.c_str(), "pcm24") == 0)
    options.format = SampleFormat::Pcm24;
  else if (strcasecmp(value.c_str(), "float") == 0)
    options.format = SampleFormat::Float;
  else
    throw BadInput("--format must be pcm16, pcm24 or float, not " + inQuotes(value));
}

void applyWaveform(Options& options, const std::string& value, OptionsSeen&)
{
  options.waveform = nonEmpty(value, "--waveform needs a file name");
}

void applyListPresets(Options& options, const std::string&, OptionsSeen& seen)
{
  options.mode = Options::Mode::ListPresets;
  ++seen.otherModes;
}

void applyListParams(Options& options, const std::string&, OptionsSeen& seen)
{
  options.mode = Options::Mode::ListParams;
  ++seen.otherModes;
}

void applyMarkdown(Options& options, const std::string&, OptionsSeen&)
{
  options.markdown = true;
}

void applyOverview(Options& options, const std::string& value, OptionsSeen& seen)
{
  options.overviewPicture = nonEmpty(value, "--overview needs a picture file name");
  options.mode = Options::Mode::Overview;
  ++seen.otherModes;
}

void applyEditorPicture(Options& options, const std::string& value, OptionsSeen& seen)
{
  options.editorPicture = nonEmpty(value, "--editor-picture needs a picture file name");
  options.mode = Options::Mode::EditorPicture;
  ++seen.otherModes;
}

void applyScale(Options& options, const std::string& value, OptionsSeen& seen)
{
  double scale = 0.0;
  if (!readNumber(value, scale) || scale < kMinEditorScale || scale > kMaxEditorScale)
    throw BadInput("--scale must be a number from 0.25 to 4, not " + inQuotes(value));
  options.editorScale = scale;
  seen.scale = true;
}

void applyQuiet(Options& options, const std::string&, OptionsSeen&)
{
  options.quiet = true;
}

void applyHelp(Options& options, const std::string&, OptionsSeen& seen)
{
  options.mode = Options::Mode::Help;
  seen.help = true;
}

struct OptionSpec {
  const char* longName;
  char shortName; // 0: none
  bool takesValue;
  ApplyOption apply;
};

constexpr OptionSpec kOptionSpecs[] = {
  {"preset", 'p', true, applyPreset},
  {"set", 's', true, applySet},
  {"tempo", 0, true, applyTempo},
  {"position", 0, true, applyPosition},
  {"no-transport", 0, false, applyNoTransport},
  {"block", 'b', true, applyBlock},
  {"midi", 0, true, applyMidi},
  {"tail", 0, true, applyTail},
  {"format", 0, true, applyFormat},
  {"waveform", 0, true, applyWaveform},
  {"list-presets", 0, false, applyListPresets},
  {"list-params", 0, false, applyListParams},
  {"markdown", 0, false, applyMarkdown},
  {"overview", 0, true, applyOverview},
  {"quiet", 'q', false, applyQuiet},
  {"help", 'h', false, applyHelp},
  {"editor-picture", 0, true, applyEditorPicture},
  {"scale", 0, true, applyScale},
};

const OptionSpec* findLong(const std::string& name)
{
  for (const OptionSpec& spec : kOptionSpecs)
    if (name == spec.longName)
      return &spec;
  return nullptr;
}

const OptionSpec* findShort(char name)
{
  for (const OptionSpec& spec : kOptionSpecs)
    if (spec.shortName != 0 && spec.shortName == name)
      return &spec;
  return nullptr;
}

// ---- Reading the command line ----

// One option as the command line gives it: which, and its value if it has one.
struct OptionArgument {
  const OptionSpec* spec = nullptr;
  std::string value;
};

// "--name" or "--name=value".
OptionArgument readLongOption(const std::string& arg)
{
  const size_t eq = arg.find('=');
  OptionArgument option{findLong(arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2)), {}};
  if (!option.spec)
    throw BadInput("unknown option " + inQuotes(arg.substr(0, eq)) + " (see --help)");
  if (eq != std::string::npos) {
    if (!option.spec->takesValue)
      throw BadInput("option --" + std::string(option.spec->longName) + " takes no value");
    option.value = arg.substr(eq + 1);
  }
  return option;
}

// "-x" or "-xvalue".
OptionArgument readShortOption(const std::string& arg)
{
  OptionArgument option{findShort(arg[1]), {}};
  if (!option.spec)
    throw BadInput("unknown option " + inQuotes(arg.substr(0, 2)) + " (see --help)");
  if (arg.size() > 2) {
    if (!option.spec->takesValue)
      throw BadInput("option -" + std::string(1, arg[1]) + " takes no value");
    option.value = arg.substr(2);
  }
  return option;
}

// The option at args[i], its value taken from the next argument when it needs one and has none of
// its own (`i` then moves on to it); nothing for a positional argument.
std::optional<OptionArgument> readOption(const std::vector<std::string>& args, size_t& i)
{
  const std::string& arg = args[i];
  OptionArgument option;
  bool hasInlineValue = false;
  if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
    option = readLongOption(arg);
    hasInlineValue = arg.find('=') != std::string::npos;
  } else if (arg.size() > 1 && arg[0] == '-') {
    option = readShortOption(arg);
    hasInlineValue = arg.size() > 2;
  } else {
    return std::nullopt;
  }
  if (option.spec->takesValue && !hasInlineValue) {
    if (i + 1 >= args.size())
      throw BadInput("option --" + std::string(option.spec->longName) + " needs a value");
    option.value = args[++i];
  }
  return option;
}

// The options that only make sense together, or never together.
void checkCombinations(const Options& options, const OptionsSeen& seen)
{
  if (seen.otherModes > 1)
    throw BadInput("choose one of --list-presets, --list-params, --overview and --editor-picture");
  if (seen.scale && options.mode != Options::Mode::EditorPicture)
    throw BadInput("--scale goes with --editor-picture");
  if (options.markdown && options.mode != Options::Mode::ListPresets && options.mode != Options::Mode::ListParams)
    throw BadInput("--markdown goes with --list-presets or --list-params");
  if (!options.transport && seen.tempoOrPosition)
    throw BadInput("--no-transport cannot be combined with --tempo or --position");
}

// The arguments that are not options, as the mode wants them.
void takePositionalArguments(Options& options, const std::vector<std::string>& positional)
{
  switch (options.mode) {
    case Options::Mode::ListPresets:
    case Options::Mode::ListParams:
    case Options::Mode::EditorPicture:
      if (!positional.empty())
        throw BadInput("unexpected argument " + inQuotes(positional.front()));
      break;
    case Options::Mode::Overview:
      if (positional.empty())
        throw BadInput("--overview needs at least one audio file");
      options.overviewFiles = positional;
      break;
    case Options::Mode::Render:
      if (positional.size() < 2)
        throw BadInput(positional.empty() ? "missing INPUT and OUTPUT (see --help)" : "missing OUTPUT (see --help)");
      if (positional.size() > 2)
        throw BadInput("unexpected argument " + inQuotes(positional[2]));
      options.input = positional[0];
      options.output = positional[1];
      if (options.input.empty() || options.output.empty())
        throw BadInput("INPUT and OUTPUT must not be empty");
      break;
    case Options::Mode::Help: break;
  }
}

} // namespace

bool readNumber(const std::string& text, double& value)
{
  // Digits with an optional sign, point and exponent: strtod alone would also take "0x10",
  // "inf" and "nan".
  std::size_t at = 0;
  const auto digits = [&] {
    const std::size_t from = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9')
      ++at;
    return at - from;
  };
  if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    ++at;
  std::size_t mantissa = digits();
  if (at < text.size() && text[at] == '.') {
    ++at;
    mantissa += digits();
  }
  if (mantissa == 0)
    return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
      ++at;
    if (digits() == 0)
      return false;
  }
  if (at != text.size())
    return false;
  errno = 0;
  value = std::strtod(text.c_str(), nullptr);
  // ERANGE also comes for numbers too close to 0 for a normal double; those are still numbers
  // (4.9e-324 above 0, 1e-400 as 0), only beyond the largest double is none.
  return std::isfinite(value);
}

Options parseOptions(const std::vector<std::string>& args)
{
  Options options;
  OptionsSeen seen;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (const std::optional<OptionArgument> option = readOption(args, i))
      option->spec->apply(options, option->value, seen);
    else
      positional.push_back(args[i]);
  }

  if (seen.help) {
    options.mode = Options::Mode::Help;
    return options;
  }
  checkCombinations(options, seen);
  takePositionalArguments(options, positional);
  return options;
}

} // namespace render
