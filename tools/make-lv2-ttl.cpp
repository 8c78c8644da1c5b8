// SPDX-License-Identifier: ISC
// Writes the Turtle of the quennet.lv2 bundle (manifest.ttl, quennet.ttl, presets.ttl) from a real
// plug-in instance: names, ranges, defaults and display texts from its parameters, the factory
// presets from its preset slots as the constructor built them. The bundle cannot drift from the
// code. Run at build time: make-lv2-ttl BUNDLE_DIR. Constructing the instance creates its
// settings file under $HOME, so the build runs it with a home of its own.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/quennet.param.h"
#include "framework/IPlugin.h"
#include "framework/LV2/LV2Layout.h"

namespace {

using plug::IParam;
namespace lv2 = plug::lv2;
using namespace quennet;

const char* const kPrefixes = "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
                              "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
                              "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
                              "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
                              "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
                              "@prefix midi:  <http://lv2plug.in/ns/ext/midi#> .\n"
                              "@prefix opts:  <http://lv2plug.in/ns/ext/options#> .\n"
                              "@prefix param: <http://lv2plug.in/ns/ext/parameters#> .\n"
                              "@prefix pg:    <http://lv2plug.in/ns/ext/port-groups#> .\n"
                              "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
                              "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
                              "@prefix rdf:   <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
                              "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
                              "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
                              "@prefix time:  <http://lv2plug.in/ns/ext/time#> .\n"
                              "@prefix ui:    <http://lv2plug.in/ns/extensions/ui#> .\n"
                              "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
                              "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n"
                              "@prefix work:  <http://lv2plug.in/ns/ext/worker#> .\n\n";

struct Failure {
  std::string message;
};

// A port value as Turtle, in the shortest form that reads back as the same double. The bridge
// reads a float control as the shortest decimal of that float: the value must survive both.
std::string number(double value, const std::string& what)
{
  if (lv2::PlainFromPortValue(static_cast<float>(value)) != value)
    throw Failure{what + " " + std::to_string(value) + " does not survive a float control port"};
  char text[32];
  const auto printed = std::to_chars(text, text + sizeof(text), value);
  std::string result(text, printed.ptr);
  if (result.find_first_of(".e") == std::string::npos)
    result += ".0";
  return result;
}

std::string quoted(const std::string& text)
{
  std::string result = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\')
      result += '\\';
    result += c;
  }
  return result + "\"";
}

// A preset name as part of its URI: "Sync 2 Host" -> "sync_2_host": lower case, every run of other
// characters one underscore. Preset URIs are stored by hosts too: the rule must not change.
std::string fragmentFromName(const std::string& name)
{
  std::string symbol;
  bool pendingUnderscore = false;
  for (char c : name) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) {
      pendingUnderscore = !symbol.empty();
      continue;
    }
    if (pendingUnderscore)
      symbol += '_';
    pendingUnderscore = false;
    symbol += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (symbol.empty() || (symbol[0] >= '0' && symbol[0] <= '9'))
    symbol.insert(0, "p_");
  return symbol;
}

// The preset's URI fragment: "Sync 2 Host" -> "preset-sync_2_host".
std::string presetURI(const std::string& name)
{
  return std::string(lv2::kPluginURI) + "#preset-" + fragmentFromName(name);
}

struct ControlPortInfo {
  int paramIdx;
  std::string symbol;
};

// A valid LV2 symbol: a letter or '_', then letters, digits and '_'.
bool isSymbol(const std::string& symbol)
{
  if (symbol.empty() || (symbol[0] >= '0' && symbol[0] <= '9'))
    return false;
  for (char c : symbol)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  return true;
}

// Every control port takes its parameter's own symbol: hosts store sessions and presets under it.
std::vector<ControlPortInfo> controlPorts(const plug::IPlugin& plugin)
{
  std::vector<ControlPortInfo> ports;
  std::set<std::string> symbols = {"in_left",   "in_right",   "out_left", "out_right",
                                   "events_in", "events_out", "time_in"};
  for (int i = 0; i < plugin.NParams(); ++i) {
    const IParam& param = *plugin.GetParam(i);
    if (!lv2::HasControlPort(param))
      continue;
    const std::string symbol = param.GetSymbol();
    if (!isSymbol(symbol))
      throw Failure{std::string("parameter ") + param.GetName() + " has no valid symbol: \"" + symbol + "\""};
    if (!symbols.insert(symbol).second)
      throw Failure{"two ports have the symbol " + symbol};
    ports.push_back({i, symbol});
  }
  return ports;
}

// A display text as a host's menu entry. Ardour keys menu entries by a natural-number comparison
// that takes a label ending in a single digit and the same label with any suffix as one entry, so
// "1/4." and "1/4 dotted" would both vanish behind "1/4": a dotted value's label starts with the
// word that tells it apart, "dotted 1/4". The plug-in's own display texts keep the dot.
std::string scalePointLabel(const std::string& text)
{
  if (text.size() > 1 && text.back() == '.')
    return "dotted " + text.substr(0, text.size() - 1);
  return text;
}

std::string withoutTrailingPunctuation(std::string text)
{
  while (!text.empty() && std::ispunct(static_cast<unsigned char>(text.back())))
    text.pop_back();
  return text;
}

// What the parameter table says about units beyond the labels: lengths in milliseconds and
// overlaps in percent.
const char* unitOf(int paramIdx, const IParam& param)
{
  if (std::string(param.GetLabel()) == "Hz")
    return "units:hz";
  switch (paramIdx) {
    case kGrainLength:
    case kFrameLength: return "units:ms";
    case kGrainOverlap:
    case kFrameOverlap: return "units:pc";
    default: return nullptr;
  }
}

std::string controlPort(const IParam& param, int paramIdx, const std::string& symbol, std::uint32_t portIndex)
{
  const std::string what = std::string(param.GetName());
  std::ostringstream ttl;
  ttl << "[\n"
      << "        a lv2:InputPort , lv2:ControlPort ;\n"
      << "        lv2:index " << portIndex << " ;\n"
      << "        lv2:symbol " << quoted(symbol) << " ;\n"
      << "        lv2:name " << quoted(param.GetName()) << " ;\n"
      << "        lv2:default " << number(param.GetDefault(), what + " default") << " ;\n"
      << "        lv2:minimum " << number(param.GetMin(), what + " minimum") << " ;\n"
      << "        lv2:maximum " << number(param.GetMax(), what + " maximum");
  switch (param.Type()) {
    case IParam::kTypeBool: ttl << " ;\n        lv2:portProperty lv2:toggled"; break;
    case IParam::kTypeInt: ttl << " ;\n        lv2:portProperty lv2:integer"; break;
    case IParam::kTypeEnum: {
      ttl << " ;\n        lv2:portProperty lv2:integer , lv2:enumeration ;\n        lv2:scalePoint ";
      std::set<std::string> distinct;
      for (int t = 0; t < param.NDisplayTexts(); ++t) {
        double value = 0.0;
        const std::string label = scalePointLabel(param.GetDisplayTextAtIdx(t, &value));
        if (!distinct.insert(withoutTrailingPunctuation(label)).second)
          throw Failure{what + ": scale point \"" + label + "\" differs from another only by punctuation"};
        ttl << (t ? " , " : "") << "[ rdfs:label " << quoted(label) << " ; rdf:value "
            << number(value, what + " scale point") << " ]";
      }
      break;
    }
    default:
      // The power curves spend most of a control's travel on the short lengths; a logarithmic
      // control is the host's closest match.
      if (dynamic_cast<const IParam::ShapePowCurve*>(&param.GetShape()))
        ttl << " ;\n        lv2:portProperty pprops:logarithmic";
      break;
  }
  if (const char* unit = unitOf(paramIdx, param))
    ttl << " ;\n        units:unit " << unit;
  ttl << "\n    ]";
  return ttl.str();
}

std::string pluginTurtle(const plug::IPlugin& plugin, const std::vector<ControlPortInfo>& controls)
{
  const plug::Config& config = plug::PlugConfig();
  const std::string uri = std::string("<") + lv2::kPluginURI + ">";
  const std::string input = std::string("<") + lv2::kPluginURI + "#input>";
  const std::string output = std::string("<") + lv2::kPluginURI + "#output>";

  std::ostringstream ttl;
  ttl << kPrefixes;
  ttl << input << "\n    a pg:InputGroup , pg:StereoGroup ;\n    lv2:symbol \"input\" ;\n"
      << "    rdfs:label \"Input\" .\n\n";
  ttl << output << "\n    a pg:OutputGroup , pg:StereoGroup ;\n    lv2:symbol \"output\" ;\n"
      << "    rdfs:label \"Output\" ;\n    pg:source " << input << " .\n\n";

  const std::string project = std::string("<") + lv2::kPluginURI + "#project>";
  ttl << project << "\n    a doap:Project ;\n    doap:name " << quoted(config.productName) << " ;\n"
      << "    doap:license <http://opensource.org/licenses/isc> ;\n"
      << "    doap:maintainer [ a foaf:Person ; foaf:name " << quoted(config.mfrName) << " ] .\n\n";

  ttl << uri << "\n"
      << "    a lv2:Plugin , lv2:DelayPlugin ;\n"
      << "    doap:name " << quoted(config.pluginName) << " ;\n"
      << "    lv2:project " << project << " ;\n"
      << "    doap:license <http://opensource.org/licenses/isc> ;\n"
      << "    rdfs:comment \"Granular effect: records each frame of its stereo input and replays the start of it "
         "as a train of enveloped, cross-faded grains, timed in milliseconds, by the host tempo, at a frequency "
         "or by MIDI notes.\" ;\n"
      << "    lv2:minorVersion " << ((config.vendorVersion >> 8) & 0xFF) << " ;\n"
      << "    lv2:microVersion " << (config.vendorVersion & 0xFF) << " ;\n"
      << "    lv2:requiredFeature urid:map ;\n"
      << "    lv2:optionalFeature lv2:hardRTCapable , opts:options , bufsz:boundedBlockLength , work:schedule ;\n"
      << "    lv2:extensionData state:interface , opts:interface , work:interface ;\n"
      << "    opts:supportedOption param:sampleRate , bufsz:maxBlockLength , bufsz:nominalBlockLength ;\n"
      << "    ui:ui <" << lv2::kUIURI << "> ;\n"
      << "    pg:mainInput " << input << " ;\n"
      << "    pg:mainOutput " << output << " ;\n"
      << "    lv2:port ";

  auto audio = [&](std::uint32_t index, bool isInput, const char* symbol, const char* name, const std::string& group,
                   const char* side) {
    ttl << "[\n        a lv2:AudioPort , " << (isInput ? "lv2:InputPort" : "lv2:OutputPort") << " ;\n"
        << "        lv2:index " << index << " ;\n        lv2:symbol \"" << symbol << "\" ;\n"
        << "        lv2:name \"" << name << "\" ;\n        pg:group " << group << " ;\n"
        << "        lv2:designation pg:" << side << "\n    ] , ";
  };
  audio(lv2::kAudioInLeft, true, "in_left", "Left In", input, "left");
  audio(lv2::kAudioInRight, true, "in_right", "Right In", input, "right");
  audio(lv2::kAudioOutLeft, false, "out_left", "Left Out", output, "left");
  audio(lv2::kAudioOutRight, false, "out_right", "Right Out", output, "right");
  ttl << "[\n        a atom:AtomPort , lv2:InputPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports midi:MidiEvent ;\n"
      << "        lv2:designation lv2:control ;\n"
      << "        lv2:index " << lv2::kEventsIn << " ;\n"
      << "        lv2:symbol \"events_in\" ;\n"
      << "        lv2:name \"Events In\" ;\n"
      << "        rdfs:comment \"MIDI notes and controllers.\"\n    ] , ";
  ttl << "[\n        a atom:AtomPort , lv2:OutputPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports midi:MidiEvent ;\n"
      << "        lv2:designation lv2:control ;\n"
      << "        lv2:index " << lv2::kEventsOut << " ;\n"
      << "        lv2:symbol \"events_out\" ;\n"
      << "        lv2:name \"MIDI Out\" ;\n"
      << "        rdfs:comment \"Every incoming MIDI message, passed on.\"\n    ]";
  std::uint32_t portIndex = lv2::kFirstControlPort;
  for (const ControlPortInfo& control : controls)
    ttl << " , " << controlPort(*plugin.GetParam(control.paramIdx), control.paramIdx, control.symbol, portIndex++);
  // Time messages only: hosts send the transport to such a port on every cycle.
  ttl << " , [\n        a atom:AtomPort , lv2:InputPort ;\n"
      << "        atom:bufferType atom:Sequence ;\n"
      << "        atom:supports time:Position ;\n"
      << "        lv2:index " << lv2::TimeInPort(static_cast<std::uint32_t>(controls.size())) << " ;\n"
      << "        lv2:symbol \"time_in\" ;\n"
      << "        lv2:name \"Time In\" ;\n"
      << "        rdfs:comment \"The host's tempo and position.\"\n    ]";
  ttl << " .\n";

  // The editor: an X11 window inside the host's, working on the instance itself. It needs the
  // host's idle calls to draw and to run the plug-in's timers.
  ttl << "\n<" << lv2::kUIURI << ">\n"
      << "    a ui:X11UI ;\n"
      << "    lv2:requiredFeature ui:parent , urid:map , <http://lv2plug.in/ns/ext/instance-access> ;\n"
      << "    lv2:optionalFeature ui:idleInterface , ui:resize , ui:touch ;\n"
      << "    lv2:extensionData ui:idleInterface , ui:resize .\n";
  return ttl.str();
}

std::string presetsTurtle(const plug::IPlugin& plugin, const std::vector<ControlPortInfo>& controls)
{
  std::ostringstream ttl;
  ttl << kPrefixes;
  for (int p = 0; p < plugin.NPresets(); ++p) {
    const plug::IPreset& preset = *plugin.GetPreset(p);
    if (!preset.mInitialized)
      continue;
    // The slot holds what the factory builder stored: the table's values, stepped and clamped.
    std::vector<double> values(static_cast<size_t>(plugin.NParams()));
    int pos = 0;
    for (double& value : values)
      if ((pos = preset.mChunk.Get(&value, pos)) < 0)
        throw Failure{std::string("preset ") + preset.mName + " has a short chunk"};
    ttl << "<" << presetURI(preset.mName) << ">\n"
        << "    a pset:Preset ;\n"
        << "    lv2:appliesTo <" << lv2::kPluginURI << "> ;\n"
        << "    rdfs:label " << quoted(preset.mName) << " ;\n"
        << "    lv2:port ";
    for (size_t c = 0; c < controls.size(); ++c) {
      const ControlPortInfo& control = controls[c];
      ttl << (c ? " , " : "") << "[\n        lv2:symbol " << quoted(control.symbol) << " ;\n        pset:value "
          << number(values[static_cast<size_t>(control.paramIdx)], std::string(preset.mName) + " " + control.symbol)
          << "\n    ]";
    }
    ttl << " .\n\n";
  }
  return ttl.str();
}

std::string manifestTurtle(const plug::IPlugin& plugin)
{
  std::ostringstream ttl;
  ttl << kPrefixes;
  ttl << "<" << lv2::kPluginURI << ">\n"
      << "    a lv2:Plugin ;\n"
      << "    lv2:binary <" << lv2::kBinaryName << "> ;\n"
      << "    rdfs:seeAlso <" << lv2::kPluginTurtle << "> .\n";
  ttl << "\n<" << lv2::kUIURI << ">\n"
      << "    a ui:X11UI ;\n"
      << "    ui:binary <" << lv2::kBinaryName << "> ;\n"
      << "    rdfs:seeAlso <" << lv2::kPluginTurtle << "> .\n";
  for (int p = 0; p < plugin.NPresets(); ++p) {
    const plug::IPreset& preset = *plugin.GetPreset(p);
    if (!preset.mInitialized)
      continue;
    ttl << "\n<" << presetURI(preset.mName) << ">\n"
        << "    a pset:Preset ;\n"
        << "    lv2:appliesTo <" << lv2::kPluginURI << "> ;\n"
        << "    rdfs:seeAlso <" << lv2::kPresetsTurtle << "> .\n";
  }
  return ttl.str();
}

void write(const std::string& path, const std::string& text)
{
  // Written whole to a temporary name, then renamed: a failed run leaves no half file behind.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush())
      throw Failure{"cannot write " + temporary};
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0)
    throw Failure{"cannot rename " + temporary + " to " + path};
}

} // namespace

int main(int argc, char** argv)
{
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-lv2-ttl BUNDLE_DIR\n");
    return 2;
  }
  const std::string bundle = argv[1];
  try {
    std::unique_ptr<plug::IPlugin> plugin(plug::MakePlug({}));
    if (!plugin)
      throw Failure{"the plug-in could not be constructed"};
    const std::vector<ControlPortInfo> controls = controlPorts(*plugin);
    write(bundle + "/" + lv2::kPluginTurtle, pluginTurtle(*plugin, controls));
    write(bundle + "/" + lv2::kPresetsTurtle, presetsTurtle(*plugin, controls));
    write(bundle + "/manifest.ttl", manifestTurtle(*plugin));
  } catch (const Failure& failure) {
    std::fprintf(stderr, "make-lv2-ttl: %s\n", failure.message.c_str());
    return 1;
  }
  return 0;
}
