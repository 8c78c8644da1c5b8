// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
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

struct OptionSpec {
  const char* longName;
  char shortName; // 0: none
  bool takesValue;
};

constexpr OptionSpec kOptionSpecs[] = {
  {"preset", 'p', true},       {"set", 's', true},    {"tempo", 0, true},         {"position", 0, true},
  {"no-transport", 0, false},  {"block", 'b', true},  {"midi", 0, true},          {"tail", 0, true},
  {"format", 0, true},         {"waveform", 0, true}, {"list-presets", 0, false}, {"list-params", 0, false},
  {"markdown", 0, false},      {"overview", 0, true}, {"quiet", 'q', false},      {"help", 'h', false},
  {"editor-picture", 0, true}, {"scale", 0, true},
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

void applyOption(Options& options, const OptionSpec& spec, const std::string& value, bool& tempoOrPositionGiven,
                 int& listModes, bool& scaleGiven)
{
  const std::string name = spec.longName;
  if (name == "preset") {
    if (value.empty())
      throw BadInput("--preset needs a preset index 0-9 or a preset name");
    options.preset = value;
  } else if (name == "set") {
    const size_t eq = value.find('=');
    if (eq == std::string::npos || eq == 0)
      throw BadInput("--set needs NAME=VALUE, not " + inQuotes(value));
    options.settings.emplace_back(value.substr(0, eq), value.substr(eq + 1));
  } else if (name == "tempo") {
    double bpm = 0.0;
    if (!readNumber(value, bpm) || !(bpm > 0.0) || bpm > kMaxTempo)
      throw BadInput("--tempo must be a number of beats per minute above 0 and at most 1000, not " + inQuotes(value));
    options.tempo = bpm;
    tempoOrPositionGiven = true;
  } else if (name == "position") {
    long long samples = 0;
    if (!readWholeNumber(value, samples) || samples < 0 || samples > kMaxPosition)
      throw BadInput("--position must be a whole number of samples from 0 to " + std::to_string(kMaxPosition) +
                     ", not " + inQuotes(value));
    options.position = samples;
    tempoOrPositionGiven = true;
  } else if (name == "no-transport") {
    options.transport = false;
  } else if (name == "block") {
    long long frames = 0;
    if (!readWholeNumber(value, frames) || frames < kMinBlockSize || frames > kMaxBlockSize)
      throw BadInput("block size must be a whole number from 1 to 65536, not " + inQuotes(value));
    options.blockSize = static_cast<int>(frames);
  } else if (name == "midi") {
    if (value.empty())
      throw BadInput("--midi needs a file name");
    options.midiFile = value;
  } else if (name == "tail") {
    double seconds = 0.0;
    if (!readNumber(value, seconds) || seconds < 0.0 || seconds > kMaxTailSeconds)
      throw BadInput("--tail must be a number of seconds from 0 to 3600, not " + inQuotes(value));
    options.tailSeconds = seconds;
  } else if (name == "format") {
    if (strcasecmp(value.c_str(), "pcm16") == 0)
      options.format = SampleFormat::Pcm16;
    else if (strcasecmp(value.c_str(), "pcm24") == 0)
      options.format = SampleFormat::Pcm24;
    else if (strcasecmp(value.c_str(), "float") == 0)
      options.format = SampleFormat::Float;
    else
      throw BadInput("--format must be pcm16, pcm24 or float, not " + inQuotes(value));
  } else if (name == "waveform") {
    if (value.empty())
      throw BadInput("--waveform needs a file name");
    options.waveform = value;
  } else if (name == "list-presets") {
    options.mode = Options::Mode::ListPresets;
    ++listModes;
  } else if (name == "list-params") {
    options.mode = Options::Mode::ListParams;
    ++listModes;
  } else if (name == "markdown") {
    options.markdown = true;
  } else if (name == "overview") {
    if (value.empty())
      throw BadInput("--overview needs a picture file name");
    options.mode = Options::Mode::Overview;
    options.overviewPicture = value;
    ++listModes;
  } else if (name == "editor-picture") {
    if (value.empty())
      throw BadInput("--editor-picture needs a picture file name");
    options.mode = Options::Mode::EditorPicture;
    options.editorPicture = value;
    ++listModes;
  } else if (name == "scale") {
    double scale = 0.0;
    if (!readNumber(value, scale) || scale < kMinEditorScale || scale > kMaxEditorScale)
      throw BadInput("--scale must be a number from 0.25 to 4, not " + inQuotes(value));
    options.editorScale = scale;
    scaleGiven = true;
  } else if (name == "quiet") {
    options.quiet = true;
  } else if (name == "help") {
    options.mode = Options::Mode::Help;
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
  std::vector<std::string> positional;
  bool tempoOrPositionGiven = false;
  bool help = false;
  bool scaleGiven = false;
  int otherModes = 0; // --list-presets, --list-params, --overview, --editor-picture

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    const OptionSpec* spec = nullptr;
    std::string value;
    bool hasInlineValue = false;
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      spec = findLong(arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2));
      if (!spec)
        throw BadInput("unknown option " + inQuotes(arg.substr(0, eq)) + " (see --help)");
      if (eq != std::string::npos) {
        if (!spec->takesValue)
          throw BadInput("option --" + std::string(spec->longName) + " takes no value");
        value = arg.substr(eq + 1);
        hasInlineValue = true;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      spec = findShort(arg[1]);
      if (!spec)
        throw BadInput("unknown option " + inQuotes(arg.substr(0, 2)) + " (see --help)");
      if (arg.size() > 2) {
        if (!spec->takesValue)
          throw BadInput("option -" + std::string(1, arg[1]) + " takes no value");
        value = arg.substr(2);
        hasInlineValue = true;
      }
    } else {
      positional.push_back(arg);
      continue;
    }

    if (spec->takesValue && !hasInlineValue) {
      if (i + 1 >= args.size())
        throw BadInput("option --" + std::string(spec->longName) + " needs a value");
      value = args[++i];
    }
    if (std::string(spec->longName) == "help")
      help = true;
    applyOption(options, *spec, value, tempoOrPositionGiven, otherModes, scaleGiven);
  }

  if (help) {
    options.mode = Options::Mode::Help;
    return options;
  }
  if (otherModes > 1)
    throw BadInput("choose one of --list-presets, --list-params, --overview and --editor-picture");
  if (scaleGiven && options.mode != Options::Mode::EditorPicture)
    throw BadInput("--scale goes with --editor-picture");
  if (options.markdown && options.mode != Options::Mode::ListPresets && options.mode != Options::Mode::ListParams)
    throw BadInput("--markdown goes with --list-presets or --list-params");
  if (!options.transport && tempoOrPositionGiven)
    throw BadInput("--no-transport cannot be combined with --tempo or --position");

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
  return options;
}

} // namespace render
