// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "apps/quennet-render/SampleFormat.h"

namespace render {

constexpr int kMinBlockSize = 1;
constexpr int kMaxBlockSize = 65536;
constexpr double kMaxTempo = 1000.0; // beats per minute
constexpr double kMaxTailSeconds = 3600.0;
constexpr std::int64_t kMaxPosition = 1ll << 52; // samples; keeps position + frame exact as a double
constexpr double kMinEditorScale = 0.25;
constexpr double kMaxEditorScale = 4.0;
constexpr double kDefaultEditorScale = 0.5; // the editor's default window, 984 × 432

// Everything the command line asks for.
struct Options {
  enum class Mode {
    Render, // INPUT through the plug-in into OUTPUT
    Help,
    ListPresets,
    ListParams,
    Overview, // one picture of several audio files
    EditorPicture, // the editor as a PNG, after the preset and the settings
  };
  Mode mode = Mode::Render;
  bool markdown = false; // --list-* as Markdown tables

  std::string input;
  std::string output;
  std::string preset = "0"; // index or name; resolved against the plug-in's preset slots
  std::vector<std::pair<std::string, std::string>> settings; // NAME, VALUE in command-line order
  double tempo = 120.0; // beats per minute
  std::int64_t position = 0; // samples
  bool transport = true;
  int blockSize = 512; // frames
  std::string midiFile;
  double tailSeconds = 0.0;
  std::optional<SampleFormat> format; // none: follow the input
  std::string waveform; // picture of input and output; empty: none
  bool quiet = false;

  std::string overviewPicture;
  std::vector<std::string> overviewFiles;

  std::string editorPicture;
  double editorScale = kDefaultEditorScale;
};

// A decimal number ("-1.5", "2e3", ".5") that fills the whole text and is finite; no hexadecimal,
// no "inf" or "nan". One too small for a double reads as 0.
bool readNumber(const std::string& text, double& value);

// Reads the arguments after the program name. Throws BadInput with a one-line reason.
Options parseOptions(const std::vector<std::string>& args);

// The --help text.
const char* usageText();

} // namespace render
