// SPDX-License-Identifier: ISC
#include "services/tuning_client.h"

#include "services/fake_mts/fake_mts.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace quennet;

namespace {

// Equal-tempered frequency of a note, note 69 = 440 Hz.
double et(int note)
{
  return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

struct ClientDeleter {
  void operator()(TuningClient* client) const { MTS_DeregisterClient(client); }
};
using ClientPtr = std::unique_ptr<TuningClient, ClientDeleter>;

ClientPtr newClient()
{
  return ClientPtr(MTS_RegisterClient());
}

double frequency(TuningClient* client, int note, int channel = -1)
{
  return MTS_NoteToFrequency(client, static_cast<signed char>(note), static_cast<signed char>(channel));
}

// ---- system-exclusive builders ----

using Bytes = std::vector<unsigned char>;

void append(Bytes& bytes, std::initializer_list<int> values)
{
  for (int v : values)
    bytes.push_back(static_cast<unsigned char>(v));
}

Bytes bytesOf(std::initializer_list<int> values)
{
  Bytes bytes;
  append(bytes, values);
  return bytes;
}

// MTS names are exactly 16 characters.
void appendName(Bytes& bytes, std::string_view name16)
{
  if (name16.size() != 16)
    ADD_FAILURE() << "name \"" << name16 << "\" is not 16 characters";
  for (char c : name16)
    bytes.push_back(static_cast<unsigned char>(c));
}

using Entry = std::array<int, 3>; // MTS 3-byte frequency: semitone, fraction MSB, fraction LSB

// Bulk tuning dump (0x01), or the key-based dump with bank (0x04).
Bytes bulkDump(bool withBank, std::string_view name16, const std::array<Entry, 128>& entries)
{
  Bytes bytes = bytesOf({0xF0, 0x7E, 0x00, 0x08});
  if (withBank)
    append(bytes, {0x04, 0x02, 0x05}); // message, bank, program
  else
    append(bytes, {0x01, 0x05}); // message, program
  appendName(bytes, name16);
  for (const Entry& e : entries)
    append(bytes, {e[0], e[1], e[2]});
  append(bytes, {0x33, 0xF7}); // checksum (not checked), end
  return bytes;
}

void parse(TuningClient* client, const Bytes& bytes)
{
  MTS_ParseMIDIDataU(client, bytes.data(), static_cast<int>(bytes.size()));
}

// The client's whole table and name, to show that a message touched nothing else.
struct Snapshot {
  std::array<double, 128> frequencies{};
  std::string name;

  explicit Snapshot(TuningClient* client) : name(MTS_GetScaleName(client))
  {
    for (int n = 0; n < 128; ++n)
      frequencies[n] = frequency(client, n);
  }
};

// ---- fixtures ----

// No tuning library loaded, whatever is installed on this machine.
class TuningClientWithoutLibrary : public ::testing::Test {
protected:
  void SetUp() override { TuningLibrary::global.unload(); }
};

using TuningClientParser = TuningClientWithoutLibrary;

// The fake library with all nine entry points, freshly reset, loaded through the client's loader.
class TuningClientWithFake : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(fake.ok()) << dlerror();
    fake.reset();
    ASSERT_TRUE(TuningLibrary::global.load({FAKE_MTS_PATH}));
  }
  void TearDown() override { TuningLibrary::global.unload(); }

  fake_mts::Controls fake{FAKE_MTS_PATH};
};

// ---------------------------------------------------------------------------------------------
// Without a library

TEST_F(TuningClientWithoutLibrary, FreshClientAnswersEqualTemperament)
{
  ClientPtr client = newClient();
  ASSERT_NE(client, nullptr);

  EXPECT_FALSE(TuningLibrary::global.isOnline());
  EXPECT_FALSE(MTS_HasMaster(client.get()));
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 60, -1));
  EXPECT_EQ(frequency(client.get(), 69), 440.0);
  EXPECT_NEAR(frequency(client.get(), 60), 261.6256, 1e-4);
  EXPECT_STREQ(MTS_GetScaleName(client.get()), "12-TET");
  EXPECT_EQ(MTS_RetuningInSemitones(client.get(), 60, -1), 0.0);
  EXPECT_EQ(MTS_RetuningAsRatio(client.get(), 60, -1), 1.0);
}

TEST_F(TuningClientWithoutLibrary, NullClientAnswersEqualTemperament)
{
  struct Case {
    int note;
    int expectedNote; // after the seven-bit mask
  };
  for (const Case& c : {Case{0, 0}, Case{60, 60}, Case{69, 69}, Case{127, 127}, Case{-59, 69}, Case{-1, 127}}) {
    SCOPED_TRACE(c.note);
    const double expected = et(c.expectedNote);
    EXPECT_NEAR(frequency(nullptr, c.note), expected, expected * 1e-12);
  }
  EXPECT_FALSE(MTS_HasMaster(nullptr));
  EXPECT_FALSE(MTS_ShouldFilterNote(nullptr, 60, -1));
  EXPECT_STREQ(MTS_GetScaleName(nullptr), "");
  EXPECT_EQ(MTS_RetuningAsRatio(nullptr, 60, -1), 1.0);
  EXPECT_EQ(MTS_RetuningInSemitones(nullptr, 60, -1), 0.0);
  const Bytes message = bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x01, 0x45, 0x39, 0x00, 0x00, 0xF7});
  parse(nullptr, message); // ignored
  MTS_DeregisterClient(nullptr); // ignored
}

TEST_F(TuningClientWithoutLibrary, FrequencyToNoteRoundsAtTheGeometricMean)
{
  const double mean69and70 = 440.0 * std::pow(2.0, 1.0 / 24.0); // 452.893 Hz
  const double mean0and1 = et(0) * std::pow(2.0, 1.0 / 24.0); // 8.416 Hz
  const double mean126and127 = et(126) * std::pow(2.0, 1.0 / 24.0); // 12186.9 Hz
  struct Case {
    const char* name;
    double hz;
    int note;
  };
  const Case cases[] = {
    {"far below note 0", 5.0, 0},
    {"at note 0", et(0), 0},
    {"far above note 127", 20000.0, 127},
    {"at note 127", et(127), 127},
    {"A4", 440.0, 69},
    {"middle C", 261.6256, 60},
    {"just below the mean of 69 and 70", mean69and70 * (1.0 - 1e-9), 69},
    {"just above the mean of 69 and 70", mean69and70 * (1.0 + 1e-9), 70},
    // Above the geometric mean but below the arithmetic one (453.08 Hz).
    {"between the two means", 452.95, 70},
    {"just below the mean of 0 and 1", mean0and1 * (1.0 - 1e-9), 0},
    {"just above the mean of 0 and 1", mean0and1 * (1.0 + 1e-9), 1},
    {"just below the mean of 126 and 127", mean126and127 * (1.0 - 1e-9), 126},
    {"just above the mean of 126 and 127", mean126and127 * (1.0 + 1e-9), 127},
  };

  // Without a client (equal-temperament search) and with a fresh client (its own table).
  ClientPtr client = newClient();
  for (const TuningClient* who :
       {static_cast<const TuningClient*>(nullptr), static_cast<const TuningClient*>(client.get())}) {
    SCOPED_TRACE(who == nullptr ? "no client" : "fresh client");
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(MTS_FrequencyToNote(who, c.hz, -1), c.note);
    }
  }
}

TEST_F(TuningClientWithoutLibrary, LoadingAMissingLibraryLeavesEverythingAbsent)
{
  EXPECT_FALSE(TuningLibrary::global.load({"/nonexistent/libMTS.so", "/nonexistent/other.so"}));
  EXPECT_FALSE(TuningLibrary::global.isOnline());
  ClientPtr client = newClient();
  EXPECT_FALSE(MTS_HasMaster(client.get()));
  EXPECT_EQ(frequency(client.get(), 69), 440.0);
}

// ---------------------------------------------------------------------------------------------
// With the fake library

TEST_F(TuningClientWithFake, LoaderFallsBackToTheNextPath)
{
  ASSERT_TRUE(TuningLibrary::global.load({"/nonexistent/libMTS.so", FAKE_MTS_PATH}));
  fake.setMaster(true);
  EXPECT_TRUE(TuningLibrary::global.isOnline());
  TuningLibrary::global.unload();
  EXPECT_FALSE(TuningLibrary::global.isOnline());
}

TEST_F(TuningClientWithFake, MasterIsAskedAtEveryQuery)
{
  ClientPtr client = newClient();
  fake.setMasterFrequency(60, 300.0);

  // Loaded without a master: the client's own table.
  EXPECT_FALSE(MTS_HasMaster(client.get()));
  EXPECT_NEAR(frequency(client.get(), 60), et(60), 1e-9);

  // The master appears after loading and is seen at the next query.
  fake.setMaster(true);
  EXPECT_TRUE(MTS_HasMaster(client.get()));
  EXPECT_TRUE(TuningLibrary::global.isOnline());
  EXPECT_EQ(frequency(client.get(), 60), 300.0);

  // The master retunes: the table contents are read afresh.
  fake.setMasterFrequency(60, 310.0);
  EXPECT_EQ(frequency(client.get(), 60), 310.0);
  EXPECT_EQ(frequency(client.get(), 60 - 128), 310.0); // seven-bit mask

  fake.setMaster(false);
  EXPECT_FALSE(MTS_HasMaster(client.get()));
  EXPECT_NEAR(frequency(client.get(), 60), et(60), 1e-9);

  // A null client never reports the master and keeps equal temperament.
  fake.setMaster(true);
  EXPECT_FALSE(MTS_HasMaster(nullptr));
  EXPECT_NEAR(frequency(nullptr, 60), et(60), 1e-9);
}

TEST_F(TuningClientWithFake, NullMasterTableMeansNoMaster)
{
  TuningLibrary::global.unload();
  fake.setNullTables(true);
  ASSERT_TRUE(TuningLibrary::global.load({FAKE_MTS_PATH}));
  fake.setMaster(true);
  fake.setFilter(60, true);

  ClientPtr client = newClient();
  EXPECT_FALSE(MTS_HasMaster(client.get()));
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 60, -1));
  EXPECT_NEAR(frequency(client.get(), 60), et(60), 1e-9);
}

TEST_F(TuningClientWithFake, FilterIsAskedOnlyWithAMaster)
{
  ClientPtr client = newClient();
  fake.setFilter(61, true);

  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 61, -1));
  EXPECT_EQ(fake.filterCount(), 0);

  fake.setMaster(true);
  EXPECT_TRUE(MTS_ShouldFilterNote(client.get(), 61, -1));
  EXPECT_EQ(fake.lastFilterNote(), 61);
  EXPECT_EQ(fake.lastFilterChannel(), -1);
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 60, -1));
  EXPECT_TRUE(MTS_ShouldFilterNote(client.get(), 61 - 128, -1)); // seven-bit mask
  EXPECT_EQ(fake.lastFilterNote(), 61);
}

TEST_F(TuningClientWithFake, ChannelMinusOneNeverUsesChannelTables)
{
  fake.setMaster(true);
  fake.setMasterFrequency(60, 300.0);
  fake.setFilter(60, false);
  fake.setUseMultichannel(-1, true); // even if the library would answer yes for −1
  for (int c = 0; c < 16; ++c) {
    fake.setUseMultichannel(c, true);
    fake.setChannelFrequency(c, 60, 250.0);
    fake.setChannelFilter(c, 60, true);
  }

  ClientPtr client = newClient();
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 60, -1));
  EXPECT_EQ(fake.multiFilterCount(), 0);
  EXPECT_EQ(frequency(client.get(), 60, -1), 300.0);
  EXPECT_NEAR(MTS_RetuningAsRatio(client.get(), 60, -1), 300.0 / et(60), 1e-12);

  // Not even after a note-filter query on a valid channel.
  MTS_ShouldFilterNote(client.get(), 60, 3);
  EXPECT_EQ(frequency(client.get(), 60, -1), 300.0);
  EXPECT_NEAR(MTS_RetuningAsRatio(client.get(), 60, -1), 300.0 / et(60), 1e-12);
}

TEST_F(TuningClientWithFake, ChannelWithItsOwnTuningUsesItsTable)
{
  fake.setMaster(true);
  fake.setMasterFrequency(60, 300.0);
  fake.setChannelFrequency(3, 60, 250.0);
  fake.setChannelFrequency(4, 60, 260.0);
  fake.setUseMultichannel(3, true);

  ClientPtr client = newClient();
  // The per-channel path needs a note-filter query on a valid channel first.
  EXPECT_EQ(frequency(client.get(), 60, 3), 300.0);
  MTS_ShouldFilterNote(client.get(), 60, 3);
  EXPECT_EQ(frequency(client.get(), 60, 3), 250.0);
  EXPECT_NEAR(MTS_RetuningInSemitones(client.get(), 60, 3), 12.0 * std::log2(250.0 / et(60)), 1e-9);
  // Channel 4 does not use its own tuning; channel −1 never does.
  EXPECT_EQ(frequency(client.get(), 60, 4), 300.0);
  EXPECT_EQ(frequency(client.get(), 60, -1), 300.0);
  EXPECT_EQ(frequency(client.get(), 60, 3), 250.0);

  fake.setUseMultichannel(3, false);
  EXPECT_EQ(frequency(client.get(), 60, 3), 300.0);
}

TEST_F(TuningClientWithFake, ChannelWithItsOwnTuningAsksOnlyTheChannelFilter)
{
  fake.setMaster(true);
  fake.setUseMultichannel(3, true);
  fake.setChannelFilter(3, 62, true); // filtered on channel 3 only
  fake.setFilter(64, true); // filtered in the single table only

  ClientPtr client = newClient();
  EXPECT_TRUE(MTS_ShouldFilterNote(client.get(), 62, 3));
  EXPECT_EQ(fake.lastFilterChannel(), 3);
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 62, -1));
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 64, 3)); // no fallback to the single table
  EXPECT_TRUE(MTS_ShouldFilterNote(client.get(), 64, 5)); // channel 5 has no tuning of its own
  EXPECT_TRUE(MTS_ShouldFilterNote(client.get(), 64, -1));

  // After a frequency query on no channel, only frequency queries decide the tuning channel:
  // a filter query on channel 3 then goes to the single table.
  ClientPtr other = newClient();
  frequency(other.get(), 60, -1);
  EXPECT_FALSE(MTS_ShouldFilterNote(other.get(), 62, 3));
  EXPECT_TRUE(MTS_ShouldFilterNote(other.get(), 64, 3));
}

TEST_F(TuningClientWithFake, RegistrationReachesTheLibrary)
{
  ClientPtr first = newClient();
  ClientPtr second = newClient();
  EXPECT_EQ(fake.registerCount(), 2);
  EXPECT_EQ(fake.deregisterCount(), 0);

  first.reset();
  EXPECT_EQ(fake.deregisterCount(), 1);
  MTS_DeregisterClient(nullptr);
  EXPECT_EQ(fake.deregisterCount(), 1);
  second.reset();
  EXPECT_EQ(fake.registerCount(), 2);
  EXPECT_EQ(fake.deregisterCount(), 2);
}

TEST_F(TuningClientWithFake, ScaleNameAndRetuningComeFromTheMaster)
{
  fake.setScaleName("Werckmeister III");
  fake.setMasterFrequency(69, 440.0 * std::pow(2.0, 1.0 / 12.0)); // a semitone up
  ClientPtr client = newClient();

  EXPECT_STREQ(MTS_GetScaleName(client.get()), "12-TET");
  EXPECT_EQ(MTS_RetuningInSemitones(client.get(), 69, -1), 0.0);

  fake.setMaster(true);
  EXPECT_STREQ(MTS_GetScaleName(client.get()), "Werckmeister III");
  EXPECT_NEAR(MTS_RetuningAsRatio(client.get(), 69, -1), std::pow(2.0, 1.0 / 12.0), 1e-12);
  EXPECT_NEAR(MTS_RetuningInSemitones(client.get(), 69, -1), 1.0, 1e-9);
  EXPECT_NEAR(MTS_RetuningInSemitones(client.get(), 70, -1), 0.0, 1e-9);
}

TEST_F(TuningClientWithFake, FrequencyToNoteSearchesTheMasterTable)
{
  ClientPtr client = newClient();
  fake.setMaster(true);
  fake.setMasterFrequency(40, 1000.0); // far from its equal-tempered 82.4 Hz
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 1000.0, -1), 40);
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 440.0, -1), 69);

  // Filtered notes are skipped: 440 Hz falls between 68 and 70, whose geometric mean is 440 Hz.
  fake.setFilter(69, true);
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 439.0, -1), 68);
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 441.0, -1), 70);
  EXPECT_EQ(fake.lastFilterChannel(), -1);

  // Equal entries: the first note wins.
  fake.setMasterFrequency(10, 300.0);
  fake.setMasterFrequency(20, 300.0);
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 300.0, -1), 10);

  // Every note filtered: note 0.
  for (int n = 0; n < 128; ++n)
    fake.setFilter(n, true);
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 440.0, -1), 0);
}

// A library that exports only MTS_HasMaster and MTS_GetTuningTable.
TEST(TuningClientWithMinimalFake, MissingEntriesFallBack)
{
  fake_mts::Controls fake{FAKE_MTS_MINIMAL_PATH};
  ASSERT_TRUE(fake.ok()) << dlerror();
  fake.reset();
  ASSERT_TRUE(TuningLibrary::global.load({FAKE_MTS_MINIMAL_PATH}));
  fake.setMaster(true);
  fake.setMasterFrequency(60, 300.0);
  fake.setFilter(60, true);
  fake.setScaleName("Meantone");
  fake.setUseMultichannel(3, true);

  ClientPtr client = newClient(); // no registration entry: nothing to call
  EXPECT_TRUE(MTS_HasMaster(client.get()));
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 60, 3));
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 60, -1));
  EXPECT_EQ(frequency(client.get(), 60, 3), 300.0);
  EXPECT_STREQ(MTS_GetScaleName(client.get()), "12-TET");
  EXPECT_EQ(MTS_FrequencyToNote(client.get(), 300.0, -1), 60); // not skipped
  client.reset();
  TuningLibrary::global.unload();
}

// A library without MTS_ShouldFilterNoteMultiChannel.
TEST(TuningClientWithoutMultiChannelFilter, ChannelWithItsOwnTuningIsNotFiltered)
{
  fake_mts::Controls fake{FAKE_MTS_NO_MULTI_FILTER_PATH};
  ASSERT_TRUE(fake.ok()) << dlerror();
  fake.reset();
  ASSERT_TRUE(TuningLibrary::global.load({FAKE_MTS_NO_MULTI_FILTER_PATH}));
  fake.setMaster(true);
  fake.setUseMultichannel(3, true);
  fake.setFilter(62, true);

  ClientPtr client = newClient();
  EXPECT_FALSE(MTS_ShouldFilterNote(client.get(), 62, 3));
  EXPECT_TRUE(MTS_ShouldFilterNote(client.get(), 62, -1));
  client.reset();
  TuningLibrary::global.unload();
}

// ---------------------------------------------------------------------------------------------
// MIDI Tuning Standard parser

TEST_F(TuningClientParser, BulkDumpSetsNameAndAllFrequencies)
{
  // Entry k holds the equal-tempered pitch of note 127 − k: the table comes out reversed.
  std::array<Entry, 128> reversed{};
  for (int k = 0; k < 128; ++k)
    reversed[k] = {127 - k, 0, 0};

  for (bool withBank : {false, true}) {
    SCOPED_TRACE(withBank ? "key-based dump 0x04" : "bulk dump 0x01");
    ClientPtr client = newClient();
    parse(client.get(), bulkDump(withBank, "Reversed  table ", reversed));
    EXPECT_STREQ(MTS_GetScaleName(client.get()), "Reversed  table ");
    for (int k = 0; k < 128; ++k) {
      const double expected = et(127 - k);
      ASSERT_NEAR(frequency(client.get(), k), expected, expected * 1e-12) << "note " << k;
    }
  }
}

TEST_F(TuningClientParser, SingleNoteChanges)
{
  struct Case {
    const char* name;
    Bytes message;
  };
  // Two changes: note 69 to 220 Hz (semitone 57), note 70 to semitone 60 plus 16383/16383, which
  // is exactly note 61's pitch; then note 71 to semitone 69 plus half a step (8192/16383).
  const Case cases[] = {
    {"without bank 0x02",
     bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x03, 69, 57, 0, 0, 70, 60, 0x7F, 0x7F, 71, 69, 0x40, 0x00, 0xF7})},
    {"with bank 0x07", bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x07, 0x01, 0x00, 0x03, 69,   57,  0,
                                0,    70,   60,   0x7F, 0x7F, 71,   69,   0x40, 0x00, 0xF7})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientPtr client = newClient();
    parse(client.get(), c.message);
    EXPECT_NEAR(frequency(client.get(), 69), 220.0, 1e-9);
    EXPECT_NEAR(frequency(client.get(), 70), et(61), 1e-9);
    EXPECT_NEAR(frequency(client.get(), 71), 440.0 * std::pow(2.0, (8192.0 / 16383.0) / 12.0), 1e-9);
    EXPECT_NEAR(frequency(client.get(), 68), et(68), 1e-9); // untouched
    EXPECT_STREQ(MTS_GetScaleName(client.get()), "12-TET"); // note changes carry no name
  }
}

TEST_F(TuningClientParser, ScaleOctaveForms)
{
  struct Case {
    const char* name;
    Bytes message;
    const char* scaleName;
    std::array<double, 12> semitones; // offset of each pitch class
  };
  // 1-byte form: cents from 64. 2-byte form: 0, 8192 and 16383 give −1, 0 and +1 semitone;
  // 12288 = 8192 + 4096 gives 4096/8191 and 4096 gives −0.5.
  const std::array<double, 12> oneByte = {-0.64, 0.0, 0.63, -0.5, 0.5, 0.0, 0.01, -0.01, 0.0, 0.0, 0.0, 0.0};
  const std::array<double, 12> twoByte = {-1.0, 0.0, 1.0, 4096.0 / 8191.0, -0.5, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  const std::initializer_list<int> oneByteValues = {0, 64, 127, 14, 114, 64, 65, 63, 64, 64, 64, 64};
  const std::initializer_list<int> twoByteValues = {0x00, 0x00, 0x40, 0x00, 0x7F, 0x7F, 0x60, 0x00,
                                                    0x20, 0x00, 0x40, 0x00, 0x40, 0x00, 0x40, 0x00,
                                                    0x40, 0x00, 0x40, 0x00, 0x40, 0x00, 0x40, 0x00};

  Bytes realTime1 = bytesOf({0xF0, 0x7F, 0x7F, 0x08, 0x08, 0x03, 0x7F, 0x7F});
  append(realTime1, oneByteValues);
  append(realTime1, {0xF7});
  Bytes realTime2 = bytesOf({0xF0, 0x7F, 0x7F, 0x08, 0x09, 0x03, 0x7F, 0x7F});
  append(realTime2, twoByteValues);
  append(realTime2, {0xF7});
  Bytes dump1 = bytesOf({0xF0, 0x7E, 0x00, 0x08, 0x05, 0x00, 0x01});
  appendName(dump1, "Quarter comma   ");
  append(dump1, oneByteValues);
  append(dump1, {0x12, 0xF7});
  Bytes dump2 = bytesOf({0xF0, 0x7E, 0x00, 0x08, 0x06, 0x00, 0x01});
  appendName(dump2, "Just intonation ");
  append(dump2, twoByteValues);
  append(dump2, {0x12, 0xF7});

  const Case cases[] = {
    {"1-byte 0x08", realTime1, "12-TET", oneByte},
    {"2-byte 0x09", realTime2, "12-TET", twoByte},
    {"1-byte dump 0x05", dump1, "Quarter comma   ", oneByte},
    {"2-byte dump 0x06", dump2, "Just intonation ", twoByte},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientPtr client = newClient();
    parse(client.get(), c.message);
    EXPECT_STREQ(MTS_GetScaleName(client.get()), c.scaleName);
    for (int k = 0; k < 128; ++k)
      ASSERT_NEAR(MTS_RetuningInSemitones(client.get(), static_cast<signed char>(k), -1), c.semitones[k % 12], 1e-9)
        << "note " << k;
  }
}

TEST_F(TuningClientParser, DumpRequestEmptiesTheName)
{
  std::array<Entry, 128> unchanged{};
  unchanged.fill({0x7F, 0x7F, 0x7F});
  const Bytes requests[] = {
    bytesOf({0xF0, 0x7E, 0x00, 0x08, 0x00, 0x05, 0xF7}), // 0x00: program
    bytesOf({0xF0, 0x7E, 0x00, 0x08, 0x03, 0x01, 0x05, 0xF7}), // 0x03: bank, program
  };
  for (const Bytes& request : requests) {
    ClientPtr client = newClient();
    parse(client.get(), bulkDump(false, "Sixteen chars!!!", unchanged));
    ASSERT_STREQ(MTS_GetScaleName(client.get()), "Sixteen chars!!!");
    parse(client.get(), request);
    EXPECT_STREQ(MTS_GetScaleName(client.get()), "");
    EXPECT_EQ(frequency(client.get(), 69), 440.0);
  }
}

TEST_F(TuningClientParser, NoChangeValueLeavesTheNoteAlone)
{
  // A dump moving every note up a semitone, except for the no-change entries.
  std::array<Entry, 128> entries{};
  for (int k = 0; k < 128; ++k)
    entries[k] = {k + 1, 0, 0};
  for (int k : {0, 69, 127})
    entries[k] = {0x7F, 0x7F, 0x7F};
  entries[5] = {0x00, 0x7F, 0x7F}; // an ordinary value anywhere but in the last entry: note 1's pitch

  ClientPtr client = newClient();
  parse(client.get(), bulkDump(false, "No change       ", entries));
  for (int k = 0; k < 128; ++k) {
    SCOPED_TRACE(k);
    const int pitch = (k == 0 || k == 69 || k == 127) ? k : k == 5 ? 1 : k + 1;
    EXPECT_NEAR(frequency(client.get(), k), et(pitch), et(pitch) * 1e-12);
  }

  // In a single-note change, and the dump's last entry 0x00 0x7F 0x7F.
  parse(client.get(), bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x02, 60, 0x7F, 0x7F, 0x7F, 61, 50, 0, 0, 0xF7}));
  EXPECT_NEAR(frequency(client.get(), 60), et(61), 1e-9);
  EXPECT_NEAR(frequency(client.get(), 61), et(50), 1e-9);
  entries[127] = {0x00, 0x7F, 0x7F};
  entries[126] = {0x7F, 0x7F, 0x7F};
  parse(client.get(), bulkDump(true, "No change       ", entries));
  EXPECT_NEAR(frequency(client.get(), 127), et(127), 1e-9);
  EXPECT_NEAR(frequency(client.get(), 126), et(127), 1e-9);
}

TEST_F(TuningClientParser, HeaderForms)
{
  struct Case {
    const char* name;
    Bytes message;
  };
  // Each sets note 64 to semitone 72.
  const Case cases[] = {
    {"non-real-time", bytesOf({0xF0, 0x7E, 0x10, 0x08, 0x02, 0x00, 0x01, 64, 72, 0, 0, 0xF7})},
    {"real-time", bytesOf({0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00, 0x01, 64, 72, 0, 0, 0xF7})},
    {"bytes before the universal id",
     bytesOf({0xF0, 0x01, 0x02, 0x7E, 0x00, 0x08, 0x02, 0x00, 0x01, 64, 72, 0, 0, 0xF7})},
    {"sub-id as the fourth byte", bytesOf({0xF0, 0x7E, 0x00, 0x01, 0x02, 0x08, 0x02, 0x00, 0x01, 64, 72, 0, 0, 0xF7})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientPtr client = newClient();
    parse(client.get(), c.message);
    EXPECT_NEAR(frequency(client.get(), 64), et(72), 1e-9);
  }
}

TEST_F(TuningClientParser, MalformedDataReturnsToIdleAtTheNextEnd)
{
  struct Case {
    const char* name;
    Bytes garbage;
    int changedNote; // -1: nothing changes
    int changedPitch;
    std::string scaleName;
  };
  const std::string unnamed = "12-TET";
  const Case cases[] = {
    {"unknown tuning message", bytesOf({0xF0, 0x7E, 0x00, 0x08, 0x0A, 0x00, 0x01, 69, 57, 0, 0, 0xF7}), -1, 0, unnamed},
    {"not a tuning message", bytesOf({0xF0, 0x7E, 0x00, 0x09, 0x01, 0x02, 0x00, 0x01, 69, 57, 0, 0, 0xF7}), -1, 0,
     unnamed},
    {"sub-id as the third byte", bytesOf({0xF0, 0x7E, 0x00, 0x01, 0x08, 0x02, 0x00, 0x01, 69, 57, 0, 0, 0xF7}), -1, 0,
     unnamed},
    {"no universal id", bytesOf({0xF0, 0x01, 0x02, 0x08, 0x02, 0x00, 0x01, 69, 57, 0, 0, 0xF7}), -1, 0, unnamed},
    {"data outside a message", bytesOf({0x08, 0x02, 0x00, 0x01, 69, 57, 0, 0}), -1, 0, unnamed},
    {"truncated in the first change", bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x02, 69, 57, 0xF7, 0, 0}), -1, 0,
     unnamed},
    {"truncated in the second change",
     bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x02, 69, 57, 0, 0, 70, 0xF7, 0, 0}), 69, 57, unnamed},
    {"truncated dump keeps the entries read",
     bytesOf({0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00, 'S', 'h', 'o', 'r', 't', ' ', ' ',  ' ',
              ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ', ' ', 5,   0,   0,   6,   0xF7, 0}),
     0, 5, std::string("Short") + std::string(11, ' ')},
    {"status byte as key", bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x02, 0xC5, 57, 0, 0, 69, 57, 0, 0, 0xF7}), -1,
     0, unnamed},
    {"status byte in a frequency", bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x01, 69, 0x90, 0, 0, 0xF7}), -1, 0,
     unnamed},
  };
  // A well-formed change after the garbage: note 64 to semitone 72.
  const Bytes trailer = bytesOf({0xF0, 0x7F, 0x00, 0x08, 0x02, 0x00, 0x01, 64, 72, 0, 0, 0xF7});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientPtr client = newClient();
    const Snapshot before(client.get());
    Bytes bytes = c.garbage;
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());
    parse(client.get(), bytes);

    const Snapshot after(client.get());
    for (int n = 0; n < 128; ++n) {
      double expected = before.frequencies[n];
      if (n == 64)
        expected = et(72);
      else if (n == c.changedNote)
        expected = et(c.changedPitch);
      ASSERT_NEAR(after.frequencies[n], expected, expected * 1e-12) << "note " << n;
    }
    EXPECT_EQ(after.name, c.scaleName);
  }
}

TEST_F(TuningClientParser, SignedBufferParsesLikeUnsigned)
{
  const char message[] = {static_cast<char>(0xF0), 0x7E, 0x00, 0x08, 0x02, 0x00, 0x01, 64, 72, 0, 0,
                          static_cast<char>(0xF7)};
  ClientPtr client = newClient();
  MTS_ParseMIDIData(client.get(), message, static_cast<int>(sizeof message));
  EXPECT_NEAR(frequency(client.get(), 64), et(72), 1e-9);

  // Empty and null buffers change nothing.
  MTS_ParseMIDIData(client.get(), nullptr, 12);
  MTS_ParseMIDIData(client.get(), message, 0);
  EXPECT_NEAR(frequency(client.get(), 64), et(72), 1e-9);
}

} // namespace
