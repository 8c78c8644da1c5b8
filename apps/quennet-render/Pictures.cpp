// SPDX-License-Identifier: ISC
#include "apps/quennet-render/Pictures.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "apps/quennet-render/AudioFile.h"
#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/Interruption.h"

namespace render {

namespace {
bool drewAnything = false;

constexpr long kOverviewBlockFrames = 16384;

std::string checkedPngPath(const std::string& path)
{
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext != ".png")
    throw BadInput("the picture " + inQuotes(path) + " must be a .png file");
  return path;
}

std::string fileName(const std::string& path)
{
  return std::filesystem::path(path).filename().string();
}

render::WaveformRow emptyRow(const std::string& title, int sampleRate)
{
  render::WaveformRow row;
  row.title = title;
  row.sampleRate = sampleRate;
  return row;
}
} // namespace

PendingPicture::PendingPicture(const std::string& path) : mFile(checkedPngPath(path), ".png")
{
}

void PendingPicture::draw(const std::vector<render::WaveformRow>& rows)
{
  drewAnything = true;
  std::vector<unsigned char> png;
  std::string error;
  if (!render::encodeWaveformPng(rows, png, render::kWaveformDefaultWidth, &error))
    throw RenderFailure("cannot draw " + inQuotes(mFile.target()) + ": " + error);
  mFile.write(png.data(), png.size());
}

RenderPicture::RenderPicture(const std::string& picturePath, const std::string& inputPath, bool stereoInput,
                             const std::string& outputPath, int sampleRate)
    : mPicture(picturePath), mStereoInput(stereoInput)
{
  mRows.push_back(emptyRow("input: " + fileName(inputPath), sampleRate));
  mRows.push_back(emptyRow("output: " + fileName(outputPath), sampleRate));
}

void RenderPicture::addInput(const float* left, const float* right, long frames)
{
  mRows[0].left.add(left, frames);
  if (mStereoInput)
    mRows[0].right.add(right, frames);
}

void RenderPicture::addOutput(const float* left, const float* right, long frames)
{
  mRows[1].left.add(left, frames);
  mRows[1].right.add(right, frames);
}

void writeOverview(const std::string& picturePath, const std::vector<std::string>& files)
{
  setInterruptNote(inQuotes(picturePath) + " is left as it was");
  // Known from the command line: found before reading anything.
  if (files.size() > static_cast<std::size_t>(render::kWaveformMaxRows))
    throw BadInput("--overview draws at most " + std::to_string(render::kWaveformMaxRows) +
                   " files in one picture, not " + std::to_string(files.size()));
  PendingPicture picture(picturePath);
  for (const std::string& file : files) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
      throw BadInput("cannot read " + inQuotes(file) + ": " +
                     (errno == ENOENT ? std::string("no such file") : systemError()));
    if (placeOf(info) == picture.file().place())
      throw BadInput(inQuotes(picturePath) + " is the same file as " + inQuotes(file) + ", one of the files to draw");
  }

  std::vector<render::WaveformRow> rows;
  rows.reserve(files.size());
  std::vector<float> left(kOverviewBlockFrames), right(kOverviewBlockFrames);
  for (const std::string& file : files) {
    AudioReader reader(file);
    render::WaveformRow row = emptyRow(fileName(file), reader.sampleRate());
    while (const long frames = reader.read(left.data(), right.data(), kOverviewBlockFrames)) {
      row.left.add(left.data(), frames);
      if (reader.channels() == 2)
        row.right.add(right.data(), frames);
    }
    row.left.keepAtMost(kOverviewStretches);
    row.right.keepAtMost(kOverviewStretches);
    rows.push_back(std::move(row));
  }
  picture.draw(rows);
  holdInterruptsUntilExit();
  picture.commit();
}

void releaseDrawingCaches()
{
  if (!drewAnything)
    return;
  cairo_debug_reset_static_data();
  FcFini();
}

} // namespace render
