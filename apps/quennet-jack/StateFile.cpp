// SPDX-License-Identifier: ISC
#include "apps/quennet-jack/StateFile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "framework/IByteChunk.h"
#include "services/midi_learn.h"

namespace jack_app::state_file {

std::string Path()
{
  const std::string config = quennet::MidiLearnConfig::configHome();
  return config.empty() ? std::string() : config + "/TarnwellMusic/" + kFileName;
}

bool Load(plug::IPluginBase& plugin, const std::string& path)
{
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  plug::IByteChunk current;
  // A file of another size is no state of ours: read as far as it goes, it would zero the rest.
  if (!plugin.SerializeState(current) || bytes.size() != static_cast<size_t>(current.Size()))
    return false;
  plug::IByteChunk chunk;
  if (chunk.PutBytes(bytes.data(), static_cast<int>(bytes.size())) == 0)
    return false;
  plugin.UnserializeState(chunk, 0);
  plugin.OnRestoreState();
  return true;
}

bool Save(const plug::IPluginBase& plugin, const std::string& path)
{
  plug::IByteChunk chunk;
  if (path.empty() || !plugin.SerializeState(chunk))
    return false;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(chunk.GetData()), chunk.Size());
    if (!file.flush())
      return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace jack_app::state_file
