#include "apps/quennet-render/Pictures.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <filesystem>

#include "apps/quennet-render/Errors.h"
#include "graphics/WaveformPicture.h"

namespace render {

namespace {
bool drewAnything = false;

std::string checkedPngPath(const std::string& path)
{
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext != ".png")
    throw BadInput("the picture " + inQuotes(path) + " must be a .png file");
  return path;
}

plug::graphics::WaveformRow rowOf(const std::string& title, const InputAudio& audio)
{
  plug::graphics::WaveformRow row;
  row.title = title;
  row.left.add(audio.left);
  if (audio.channels == 2)
    row.right.add(audio.right);
  row.sampleRate = audio.sampleRate;
  return row;
}

std::string fileName(const std::string& path)
{
  return std::filesystem::path(path).filename().string();
}
} // namespace

PendingPicture::PendingPicture(const std::string& path) : mFile(checkedPngPath(path), ".png") {}

void PendingPicture::draw(const std::vector<std::pair<std::string, const InputAudio*>>& rows)
{
  std::vector<plug::graphics::WaveformRow> waveformRows;
  for (const auto& [title, audio] : rows)
    waveformRows.push_back(rowOf(title, *audio));
  drewAnything = true;
  std::string error;
  if (!plug::graphics::writeWaveformPng(mFile.path(), waveformRows, plug::graphics::kWaveformDefaultWidth, &error))
    throw RenderFailure("cannot draw " + inQuotes(mFile.target()) + ": " + error);
}

void drawRenderPicture(PendingPicture& picture, const std::string& inputName, const InputAudio& input,
                       const std::string& outputName, const InputAudio& output)
{
  picture.draw({{"input: " + fileName(inputName), &input}, {"output: " + fileName(outputName), &output}});
}

void writeOverview(const std::string& picturePath, const std::vector<std::string>& files)
{
  PendingPicture picture(picturePath);
  std::vector<InputAudio> audio;
  audio.reserve(files.size());
  for (const std::string& file : files)
    audio.push_back(readAudioFile(file));
  std::vector<std::pair<std::string, const InputAudio*>> rows;
  for (size_t i = 0; i < files.size(); ++i)
    rows.emplace_back(fileName(files[i]), &audio[i]);
  picture.draw(rows);
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
