#include "apps/quennet-render/MidiFile.h"

// smf.h includes glib.h inside extern "C", which C++ rejects; glib first makes that include a no-op.
#include <glib.h>
#include <smf.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "apps/quennet-render/Errors.h"
#include "apps/quennet-render/SmfCheck.h"

namespace render {

namespace {

constexpr long kMaxMidiFileBytes = 64l << 20;

// libsmf reports what is wrong with a file through glib's log; the renderer keeps the first
// complaint for its own one-line message instead of letting glib print it.
class GlibLogCapture {
public:
  GlibLogCapture() { mPrevious = g_log_set_default_handler(&GlibLogCapture::handle, this); }
  ~GlibLogCapture() { g_log_set_default_handler(mPrevious, nullptr); }
  GlibLogCapture(const GlibLogCapture&) = delete;
  GlibLogCapture& operator=(const GlibLogCapture&) = delete;

  const std::string& firstProblem() const { return mFirst; }

private:
  static void handle(const gchar*, GLogLevelFlags level, const gchar* message, gpointer self)
  {
    auto* capture = static_cast<GlibLogCapture*>(self);
    const bool problem = (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0;
    if (problem && capture->mFirst.empty() && message)
      capture->mFirst = message;
  }

  GLogFunc mPrevious = nullptr;
  std::string mFirst;
};

struct SmfDeleter {
  void operator()(smf_t* smf) const { smf_delete(smf); }
};

// Microseconds · ppqn from the file's start to `pulses`, exact in integers: each tempo segment
// adds its pulses times its microseconds per quarter note.
std::int64_t scaledMicroseconds(const smf_t* smf, int pulses)
{
  std::int64_t total = 0;
  int segmentStart = 0;
  int microsPerQuarter = 500000;  // 120 BPM until the first tempo event
  for (int n = 0;; ++n) {
    const smf_tempo_t* tempo = smf_get_tempo_by_number(smf, n);
    if (!tempo || tempo->time_pulses > pulses)
      break;
    total += static_cast<std::int64_t>(tempo->time_pulses - segmentStart) * microsPerQuarter;
    segmentStart = tempo->time_pulses;
    microsPerQuarter = tempo->microseconds_per_quarter_note;
  }
  return total + static_cast<std::int64_t>(pulses - segmentStart) * microsPerQuarter;
}

// frame = scaled · rate / (ppqn · 10^6), rounded half up; in 128 bits the product cannot overflow.
std::int64_t frameOf(std::int64_t scaled, int ppqn, int sampleRate)
{
  __extension__ using Wide = unsigned __int128;
  const Wide denominator = static_cast<Wide>(ppqn) * 1000000u;
  const Wide numerator = static_cast<Wide>(scaled) * static_cast<Wide>(sampleRate);
  return static_cast<std::int64_t>((2 * numerator + denominator) / (2 * denominator));
}

} // namespace

std::vector<TimedMidiEvent> readMidiFile(const std::string& path, int sampleRate)
{
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(path, ec))
    throw BadInput("cannot read MIDI file " + inQuotes(path) + ": no such file");
  if (fs::is_directory(path, ec))
    throw BadInput("cannot read MIDI file " + inQuotes(path) + ": it is a folder");
  std::vector<unsigned char> bytes;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in)
      throw BadInput("cannot read MIDI file " + inQuotes(path) + ": " + systemError());
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
      throw BadInput("cannot read MIDI file " + inQuotes(path) + ": " + systemError());
  }
  if (bytes.size() > static_cast<size_t>(kMaxMidiFileBytes))
    throw BadInput(inQuotes(path) + " is too large for a MIDI file");
  std::string problem = findSmfProblem(bytes);
  if (!problem.empty())
    throw BadInput(inQuotes(path) + " is not a valid Standard MIDI File (" + problem + ")");

  std::unique_ptr<smf_t, SmfDeleter> smf;
  {
    GlibLogCapture capture;
    smf.reset(smf_load_from_memory(bytes.data(), static_cast<int>(bytes.size())));
    problem = capture.firstProblem();
  }
  if (!smf)
    throw BadInput(inQuotes(path) + " is not a valid Standard MIDI File" + (problem.empty() ? "" : " (" + problem + ")"));
  if (smf->ppqn <= 0)
    throw BadInput(inQuotes(path) + " is not a valid Standard MIDI File (no pulses per quarter note)");

  std::vector<TimedMidiEvent> events;
  smf_rewind(smf.get());
  for (smf_event_t* event = smf_get_next_event(smf.get()); event; event = smf_get_next_event(smf.get())) {
    if (event->midi_buffer_length < 1 || event->time_pulses < 0)
      continue;
    const std::uint8_t status = event->midi_buffer[0];
    if (status < 0x80 || status >= 0xF0)  // meta events, system exclusive and system messages
      continue;
    TimedMidiEvent timed;
    timed.frame = frameOf(scaledMicroseconds(smf.get(), event->time_pulses), smf->ppqn, sampleRate);
    timed.status = status;
    timed.data1 = event->midi_buffer_length > 1 ? event->midi_buffer[1] & 0x7F : 0;
    timed.data2 = event->midi_buffer_length > 2 ? event->midi_buffer[2] & 0x7F : 0;
    events.push_back(timed);
  }
  return events;
}

} // namespace render
