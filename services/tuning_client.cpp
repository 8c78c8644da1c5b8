// SPDX-License-Identifier: ISC
#include "services/tuning_client.h"

#include <array>
#include <cmath>
#include <cstring>
#include <new>

#include <dlfcn.h>

namespace quennet {

namespace {

// Where an installed MTS-ESP library lives, tried in this order.
constexpr const char* kLibraryPaths[] = {
  "/Library/Application Support/MTS-ESP/libMTS.dylib",
  "/usr/local/lib/libMTS.so",
};

// 12 / ln 2: semitones per unit of natural logarithm of a frequency ratio.
constexpr double kSemitonesPerLogUnit = 17.312340490667562;

constexpr unsigned char kSysExStart = 0xF0;
constexpr unsigned char kSysExEnd = 0xF7;

double equalTemperedFrequency(int note)
{
  return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

bool isValidChannel(signed char channel)
{
  return channel >= 0 && channel <= 15;
}

template <typename Fn>
Fn lookUp(void* handle, const char* name)
{
  return reinterpret_cast<Fn>(dlsym(handle, name));
}

// Nearest note in equal temperament, for queries without a client.
int freqToNoteET(double frequency)
{
  // Function-local static: initialised once, safely even when first used from several threads.
  static const std::array<double, TuningLibrary::kNumNotes> freqs = [] {
    std::array<double, TuningLibrary::kNumNotes> table{};
    for (int n = 0; n < TuningLibrary::kNumNotes; ++n)
      table[n] = equalTemperedFrequency(n);
    return table;
  }();

  if (frequency <= freqs[0])
    return 0;
  if (frequency >= freqs[127])
    return 127;

  // Bisection keeps freqs[low] < frequency < freqs[high]; the first probe is note 63.
  int low = 0;
  int high = 127;
  while (high - low > 1) {
    const int mid = (low + high) / 2;
    if (freqs[mid] == frequency)
      return mid;
    if (freqs[mid] < frequency)
      low = mid;
    else
      high = mid;
  }
  // Pitch is logarithmic in frequency, so the boundary between two notes is their geometric mean.
  return frequency < std::sqrt(freqs[low] * freqs[high]) ? low : high;
}

// MIDI Tuning Standard 3-byte frequency: semitone xx plus a fraction (128 yy + zz) / 16383.
double tuningStandardFrequency(unsigned xx, unsigned yy, unsigned zz)
{
  return 440.0 * std::pow(2.0, (xx + (128 * yy + zz) / 16383.0 - 69) / 12.0);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TuningLibrary

TuningLibrary TuningLibrary::global;

TuningLibrary::TuningLibrary() noexcept
{
  for (int n = 0; n < kNumNotes; ++n)
    mInverseFrequencies[n] = 1.0 / (440.0 * std::pow(2.0, (n - 69) / 12.0));
  loadFrom(kLibraryPaths, static_cast<int>(std::size(kLibraryPaths)));
}

TuningLibrary::~TuningLibrary()
{
  unload();
}

bool TuningLibrary::load(const std::vector<std::string>& paths) noexcept
{
  // At most a handful of paths: a fixed array spares an allocation that could throw here.
  constexpr int kMaxPaths = 8;
  const char* list[kMaxPaths];
  int count = 0;
  for (const std::string& path : paths) {
    if (count == kMaxPaths)
      break;
    list[count++] = path.c_str();
  }
  return loadFrom(list, count);
}

bool TuningLibrary::loadFrom(const char* const* paths, int count) noexcept
{
  unload();

  for (int i = 0; i < count && mLibraryHandle == nullptr; ++i)
    mLibraryHandle = dlopen(paths[i], RTLD_NOW);
  if (mLibraryHandle == nullptr)
    return false;

  mRegisterClient = lookUp<RegisterClientFn>(mLibraryHandle, "MTS_RegisterClient");
  mDeregisterClient = lookUp<DeregisterClientFn>(mLibraryHandle, "MTS_DeregisterClient");
  mHasMaster = lookUp<HasMasterFn>(mLibraryHandle, "MTS_HasMaster");
  mShouldFilterNote = lookUp<ShouldFilterNoteFn>(mLibraryHandle, "MTS_ShouldFilterNote");
  mShouldFilterNoteMultiChannel = lookUp<ShouldFilterNoteFn>(mLibraryHandle, "MTS_ShouldFilterNoteMultiChannel");
  mGetTuningTable = lookUp<GetTuningTableFn>(mLibraryHandle, "MTS_GetTuningTable");
  mGetMultiChannelTuningTable = lookUp<GetMultiChannelTuningTableFn>(mLibraryHandle, "MTS_GetMultiChannelTuningTable");
  mUseMultiChannelTuning = lookUp<UseMultiChannelTuningFn>(mLibraryHandle, "MTS_UseMultiChannelTuning");
  mGetScaleName = lookUp<GetScaleNameFn>(mLibraryHandle, "MTS_GetScaleName");

  // The pointers stay valid while the library is loaded; only the contents change.
  if (mGetTuningTable != nullptr)
    mMasterTable = mGetTuningTable();
  for (int c = 0; c < kNumChannels; ++c)
    mChannelTables[c] =
      mGetMultiChannelTuningTable != nullptr ? mGetMultiChannelTuningTable(static_cast<signed char>(c)) : nullptr;
  return true;
}

void TuningLibrary::unload() noexcept
{
  if (mLibraryHandle != nullptr)
    dlclose(mLibraryHandle);
  mLibraryHandle = nullptr;
  mRegisterClient = nullptr;
  mDeregisterClient = nullptr;
  mHasMaster = nullptr;
  mShouldFilterNote = nullptr;
  mShouldFilterNoteMultiChannel = nullptr;
  mGetTuningTable = nullptr;
  mGetMultiChannelTuningTable = nullptr;
  mUseMultiChannelTuning = nullptr;
  mGetScaleName = nullptr;
  mMasterTable = nullptr;
  for (const double*& table : mChannelTables)
    table = nullptr;
}

bool TuningLibrary::isOnline() const noexcept
{
  return mMasterTable != nullptr && mHasMaster != nullptr && mHasMaster();
}

bool TuningLibrary::shouldFilterNote(int note, signed char channel) const noexcept
{
  return mShouldFilterNote != nullptr && mShouldFilterNote(static_cast<signed char>(note & 127), channel);
}

bool TuningLibrary::shouldFilterNoteMultiChannel(int note, signed char channel) const noexcept
{
  return mShouldFilterNoteMultiChannel != nullptr &&
    mShouldFilterNoteMultiChannel(static_cast<signed char>(note & 127), channel);
}

bool TuningLibrary::useMultiChannelTuning(signed char channel) const noexcept
{
  return mUseMultiChannelTuning != nullptr && mUseMultiChannelTuning(channel);
}

const char* TuningLibrary::scaleName() const noexcept
{
  return mGetScaleName != nullptr ? mGetScaleName() : nullptr;
}

void TuningLibrary::registerClient() const noexcept
{
  if (mRegisterClient != nullptr)
    mRegisterClient();
}

void TuningLibrary::deregisterClient() const noexcept
{
  if (mDeregisterClient != nullptr)
    mDeregisterClient();
}

// ---------------------------------------------------------------------------------------------
// TuningClient

TuningClient::TuningClient() noexcept
{
  for (int n = 0; n < TuningLibrary::kNumNotes; ++n)
    mRetuning[n] = equalTemperedFrequency(n);
  std::memset(mScaleName, 0, sizeof mScaleName);
  std::memcpy(mScaleName, "12-TET", 6);
}

void TuningClient::setQueryChannel(signed char channel) noexcept
{
  mFrequencyQueried = true;
  mTuningChannelValid = isValidChannel(channel);
}

bool TuningClient::usesChannelTable(signed char channel) const noexcept
{
  const TuningLibrary& library = TuningLibrary::global;
  return mFilterChannelValid && mTuningChannelValid && library.useMultiChannelTuning(channel) &&
    library.channelTable(channel) != nullptr;
}

double TuningClient::masterFrequency(int n, signed char channel) const noexcept
{
  const TuningLibrary& library = TuningLibrary::global;
  return usesChannelTable(channel) ? library.channelTable(channel)[n] : library.masterTable()[n];
}

bool TuningClient::shouldFilterNote(signed char note, signed char channel) noexcept
{
  const TuningLibrary& library = TuningLibrary::global;
  mFilterChannelValid = isValidChannel(channel);
  // Until the first frequency query the filter query also decides the tuning channel.
  if (!mFrequencyQueried)
    mTuningChannelValid = mFilterChannelValid;
  if (!library.isOnline())
    return false;
  const int n = note & 127;
  // A channel with its own tuning asks only the per-channel filter, never the single-table one.
  if (mFilterChannelValid && mTuningChannelValid && library.useMultiChannelTuning(channel))
    return library.shouldFilterNoteMultiChannel(n, channel);
  return library.shouldFilterNote(n, channel);
}

double TuningClient::noteToFrequency(signed char note, signed char channel) noexcept
{
  const int n = note & 127;
  setQueryChannel(channel);
  if (TuningLibrary::global.isOnline())
    return masterFrequency(n, channel);
  return mRetuning[n];
}

double TuningClient::retuningRatio(signed char note, signed char channel) noexcept
{
  const TuningLibrary& library = TuningLibrary::global;
  const int n = note & 127;
  setQueryChannel(channel);
  if (library.isOnline())
    return masterFrequency(n, channel) * library.inverseFrequency(n);
  return mTuningReceived ? mRetuning[n] * library.inverseFrequency(n) : 1.0;
}

double TuningClient::retuningAsRatio(signed char note, signed char channel) noexcept
{
  return retuningRatio(note, channel);
}

double TuningClient::retuningInSemitones(signed char note, signed char channel) noexcept
{
  return kSemitonesPerLogUnit * std::log(retuningRatio(note, channel));
}

int TuningClient::freqToNote(double frequency, signed char channel) const noexcept
{
  const TuningLibrary& library = TuningLibrary::global;
  const bool online = library.isOnline();
  const double* table = online ? library.masterTable() : mRetuning;
  const bool filter = online && library.hasFilter();

  int above = -1; // nearest note above the frequency
  int below = -1; // nearest note below it
  double aboveDistance = 0.0;
  double belowDistance = 0.0;
  for (int note = 0; note < TuningLibrary::kNumNotes; ++note) {
    if (filter && library.shouldFilterNote(note, channel))
      continue;
    const double d = table[note] - frequency;
    if (d == 0.0)
      return note;
    // Strict comparisons: the first note found wins a tie.
    if (d > 0.0) {
      if (above < 0 || d < aboveDistance) {
        above = note;
        aboveDistance = d;
      }
    } else if (below < 0 || d > belowDistance) {
      below = note;
      belowDistance = d;
    }
  }

  if (below < 0)
    return above < 0 ? 0 : above;
  if (above < 0)
    return below;
  return frequency < std::sqrt(table[below] * table[above]) ? below : above;
}

const char* TuningClient::scaleName() const noexcept
{
  const TuningLibrary& library = TuningLibrary::global;
  if (library.isOnline() && library.hasScaleName()) {
    const char* name = library.scaleName();
    return name != nullptr ? name : "";
  }
  return mScaleName;
}

namespace {

// Reads a stream of system-exclusive messages one byte at a time and applies the MIDI Tuning
// Standard messages 0x00 to 0x09 to a client's table (Hz) and scale name.
class TuningMessageReader {
public:
  TuningMessageReader(double (&retuning)[TuningLibrary::kNumNotes], char (&scaleName)[17]) noexcept
      : mRetuning(retuning), mScaleName(scaleName)
  {
  }

  void read(unsigned byte) noexcept
  {
    if (byte == kSysExEnd) {
      mStage = Stage::Idle;
      return;
    }
    // Within a message only 7-bit data bytes are valid: any other status byte breaks it off.
    // (A note number of 0x80 or more would otherwise index past the table.)
    if (byte >= 0x80 && mStage != Stage::Idle && mStage != Stage::Universal)
      mStage = Stage::Idle;

    switch (mStage) {
      case Stage::Idle:
        if (byte == kSysExStart)
          mStage = Stage::Universal;
        break;
      case Stage::Universal: readUniversalId(byte); break;
      case Stage::Header: readHeader(byte); break;
      case Stage::Message: readMessageId(byte); break;
      case Stage::Bank: mStage = Stage::Program; break;
      case Stage::Program: readProgram(); break;
      case Stage::Name: readName(byte); break;
      case Stage::Count:
        mEntry = static_cast<int>(byte);
        mStage = mEntry > 0 ? Stage::Key : Stage::Idle;
        break;
      case Stage::Key:
        mKey = static_cast<int>(byte);
        mPosition = 0;
        mStage = Stage::Frequency;
        break;
      case Stage::Frequency: readFrequency(byte); break;
      case Stage::ChannelMask:
        if (++mPosition == 3) {
          mPosition = 0;
          mStage = Stage::PitchClass;
        }
        break;
      case Stage::PitchClass: readPitchClassOffset(byte); break;
      case Stage::Checksum: mStage = Stage::Idle; break;
    }
  }

private:
  enum class Stage {
    Idle, // waiting for 0xF0
    Universal, // skipping to the universal identifier 0x7E or 0x7F
    Header, // device identifier, then sub-identifier 0x08
    Message, // the tuning message's own identifier
    Bank,
    Program,
    Name, // 16 characters
    Count, // number of single-note changes
    Key,
    Frequency, // 3 bytes
    ChannelMask, // 3 bytes, ignored
    PitchClass, // 12 offsets of 1 or 2 bytes
    Checksum, // ignored
  };

  // The single-note changes (0x02, and 0x07 with a bank) name their keys; the dumps give all 128.
  bool isNoteChange() const noexcept { return mMessage == 0x02 || mMessage == 0x07; }
  // The scale/octave messages that come with a name and a checksum (0x05, 0x06), not a channel mask.
  bool isScaleDump() const noexcept { return mMessage == 0x05 || mMessage == 0x06; }

  void readUniversalId(unsigned byte) noexcept
  {
    if (byte == 0x7E || byte == 0x7F) {
      mStage = Stage::Header;
      mPosition = 0;
    }
  }

  void readHeader(unsigned byte) noexcept
  {
    ++mPosition; // 1: device identifier
    if ((mPosition == 2 || mPosition == 4) && byte == 0x08)
      mStage = Stage::Message;
    else if (mPosition >= 4)
      mStage = Stage::Idle;
  }

  void readMessageId(unsigned byte) noexcept
  {
    mMessage = byte;
    mPosition = 0;
    mEntry = 0;
    switch (byte) {
      case 0x00:
      case 0x01:
      case 0x02: mStage = Stage::Program; break;
      case 0x03:
      case 0x04:
      case 0x05:
      case 0x06:
      case 0x07: mStage = Stage::Bank; break;
      case 0x08:
      case 0x09: mStage = Stage::ChannelMask; break;
      default: mStage = Stage::Idle; break;
    }
  }

  void readProgram() noexcept
  {
    if (isNoteChange()) {
      mStage = Stage::Count;
      return;
    }
    // Every other message with a program carries a name next, so a dump request empties it.
    std::memset(mScaleName, 0, sizeof mScaleName);
    mPosition = 0;
    mStage = Stage::Name;
  }

  void readName(unsigned byte) noexcept
  {
    mScaleName[mPosition++] = static_cast<char>(byte); // mScaleName[16] stays the terminator
    if (mPosition < 16)
      return;
    mPosition = 0;
    if (mMessage == 0x01 || mMessage == 0x04)
      mStage = Stage::Frequency;
    else if (isScaleDump())
      mStage = Stage::PitchClass;
    else
      mStage = Stage::Idle;
  }

  void readFrequency(unsigned byte) noexcept
  {
    mValue[mPosition++] = byte;
    if (mPosition < 3)
      return;
    mPosition = 0;
    if (isNoteChange()) {
      setNote(mKey, false);
      mStage = --mEntry > 0 ? Stage::Key : Stage::Idle;
    } else {
      setNote(mEntry, mEntry == 127);
      if (++mEntry == TuningLibrary::kNumNotes)
        mStage = Stage::Checksum;
    }
  }

  void readPitchClassOffset(unsigned byte) noexcept
  {
    const bool twoBytes = mMessage == 0x06 || mMessage == 0x09;
    mValue[mPosition++] = byte;
    if (mPosition < (twoBytes ? 2 : 1))
      return;
    mPosition = 0;
    if (twoBytes) {
      // 0 … 16383 spans −1 … +1 semitone with 8192 at 0; the upper half has one step fewer.
      const int w = static_cast<int>(128 * mValue[0] + mValue[1]);
      setPitchClass(mEntry, w <= 8192 ? (w - 8192) / 8192.0 : (w - 8192) / 8191.0);
    } else {
      // Cents offset from 64.
      const int v = static_cast<int>(mValue[0]);
      setPitchClass(mEntry, (v - 64) * 0.01);
    }
    if (++mEntry == 12)
      mStage = isScaleDump() ? Stage::Checksum : Stage::Idle;
  }

  // The note takes the three frequency bytes just read.
  void setNote(int note, bool lastOfDump) noexcept
  {
    // 0x7F 0x7F 0x7F is the standard's "no change"; a dump's last entry 0x00 0x7F 0x7F is skipped too.
    if (mValue[0] == 0x7F && mValue[1] == 0x7F && mValue[2] == 0x7F)
      return;
    if (lastOfDump && mValue[0] == 0x00 && mValue[1] == 0x7F && mValue[2] == 0x7F)
      return;
    mRetuning[note] = tuningStandardFrequency(mValue[0], mValue[1], mValue[2]);
  }

  // Every note of the pitch class, `semitones` away from equal temperament.
  void setPitchClass(int pitchClass, double semitones) noexcept
  {
    for (int k = pitchClass; k < TuningLibrary::kNumNotes; k += 12)
      mRetuning[k] = 440.0 * std::pow(2.0, (k + semitones - 69) / 12.0);
  }

  double (&mRetuning)[TuningLibrary::kNumNotes];
  char (&mScaleName)[17];
  Stage mStage = Stage::Idle;
  unsigned mMessage = 0;
  int mPosition = 0; // bytes read of the header, the name or the current value
  int mEntry = 0; // dumps: the note; note changes: changes left; scale/octave: pitch class
  int mKey = 0;
  unsigned mValue[3] = {};
};

} // namespace

void TuningClient::parseMIDIData(const unsigned char* data, int length) noexcept
{
  mTuningReceived = true;
  if (data == nullptr)
    return;
  TuningMessageReader reader(mRetuning, mScaleName);
  for (int i = 0; i < length; ++i)
    reader.read(data[i]);
}

// ---------------------------------------------------------------------------------------------
// Client operations

TuningClient* MTS_RegisterClient() noexcept
{
  TuningClient* client = new (std::nothrow) TuningClient();
  if (client != nullptr)
    TuningLibrary::global.registerClient();
  return client;
}

void MTS_DeregisterClient(TuningClient* client) noexcept
{
  if (client == nullptr)
    return;
  TuningLibrary::global.deregisterClient();
  delete client;
}

bool MTS_HasMaster(const TuningClient* client) noexcept
{
  return client != nullptr && TuningLibrary::global.isOnline();
}

bool MTS_ShouldFilterNote(TuningClient* client, signed char note, signed char channel) noexcept
{
  return client != nullptr && client->shouldFilterNote(note, channel);
}

double MTS_NoteToFrequency(TuningClient* client, signed char note, signed char channel) noexcept
{
  if (client == nullptr)
    return 1.0 / TuningLibrary::global.inverseFrequency(note & 127);
  return client->noteToFrequency(note, channel);
}

double MTS_RetuningAsRatio(TuningClient* client, signed char note, signed char channel) noexcept
{
  return client != nullptr ? client->retuningAsRatio(note, channel) : 1.0;
}

double MTS_RetuningInSemitones(TuningClient* client, signed char note, signed char channel) noexcept
{
  return client != nullptr ? client->retuningInSemitones(note, channel) : 0.0;
}

int MTS_FrequencyToNote(const TuningClient* client, double frequency, signed char channel) noexcept
{
  return client != nullptr ? client->freqToNote(frequency, channel) : freqToNoteET(frequency);
}

const char* MTS_GetScaleName(const TuningClient* client) noexcept
{
  return client != nullptr ? client->scaleName() : "";
}

void MTS_ParseMIDIData(TuningClient* client, const char* data, int length) noexcept
{
  MTS_ParseMIDIDataU(client, reinterpret_cast<const unsigned char*>(data), length);
}

void MTS_ParseMIDIDataU(TuningClient* client, const unsigned char* data, int length) noexcept
{
  if (client != nullptr)
    client->parseMIDIData(data, length);
}

} // namespace quennet
