// SPDX-License-Identifier: ISC
// The bounds-checked atom reader on host buffers that end exactly where the container's declared
// size ends, with an inaccessible page right after: any read past the end faults at once.
#include "framework/LV2/AtomReader.h"

#include <gtest/gtest.h>

#include <vector>

#include "AtomBytes.h"
#include "GuardedBuffer.h"

namespace {

using plug::lv2::ForEachEvent;
using plug::lv2::ForEachProperty;
using plug::lv2::ObjectType;

// URIDs as some host might map them.
constexpr std::uint32_t kSequence = 1;
constexpr std::uint32_t kMidi = 2;
constexpr std::uint32_t kObject = 3;
constexpr std::uint32_t kPosition = 4;
constexpr std::uint32_t kFloat = 5;

std::vector<std::int64_t> framesVisited(const std::vector<std::uint8_t>& bytes)
{
  GuardedBuffer buffer(bytes);
  std::vector<std::int64_t> frames;
  ForEachEvent(*buffer.as<LV2_Atom_Sequence>(), [&](const LV2_Atom_Event& event) {
    // Touch the whole body, as a reader of the event would.
    const auto* body = reinterpret_cast<const volatile std::uint8_t*>(&event.body + 1);
    for (std::uint32_t i = 0; i < event.body.size; ++i)
      (void)body[i];
    frames.push_back(event.time.frames);
  });
  return frames;
}

// A sequence body: size patched in at the end unless `declaredSize` says otherwise.
AtomBytes sequenceOf(const std::vector<std::pair<std::int64_t, std::vector<std::uint8_t>>>& events)
{
  AtomBytes bytes;
  bytes.sequence(0, kSequence);
  for (const auto& [frame, midi] : events)
    bytes.event(frame, static_cast<std::uint32_t>(midi.size()), kMidi).bytes(midi).padTo8();
  bytes.patch32(0, static_cast<std::uint32_t>(bytes.size() - sizeof(LV2_Atom)));
  return bytes;
}

} // namespace

TEST(AtomReader, EventsAreVisitedOnlyWhileHeaderAndBodyLieInsideTheSequence)
{
  const std::vector<std::uint8_t> noteOn = {0x90, 60, 100};
  const std::vector<std::uint8_t> clock = {0xF8};
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes; // exactly the atom: the buffer ends where its size says
    std::vector<std::int64_t> frames;
  };
  std::vector<Case> cases;
  cases.push_back({"two whole events", sequenceOf({{1, noteOn}, {2, clock}}).get(), {1, 2}});
  {
    // The size claims 8 bytes after the events: half an event header.
    AtomBytes b = sequenceOf({{1, noteOn}, {2, clock}});
    b.i64(99).patch32(0, static_cast<std::uint32_t>(b.size() - sizeof(LV2_Atom)));
    cases.push_back({"size claims half a header more", b.get(), {1, 2}});
  }
  {
    // The last event's body claims 64 bytes; 8 follow its header.
    AtomBytes b = sequenceOf({{1, noteOn}});
    b.event(2, 64, kMidi).bytes(clock).padTo8();
    b.patch32(0, static_cast<std::uint32_t>(b.size() - sizeof(LV2_Atom)));
    cases.push_back({"last body runs past the end", b.get(), {1}});
  }
  {
    // 16 + 0xFFFFFFF8 wraps to 8 in 32 bits: the next event would seem to start inside this one.
    AtomBytes b = sequenceOf({{1, noteOn}});
    b.event(2, 0xFFFFFFF8u, kMidi).bytes(clock).padTo8();
    b.patch32(0, static_cast<std::uint32_t>(b.size() - sizeof(LV2_Atom)));
    cases.push_back({"body size that wraps", b.get(), {1}});
  }
  cases.push_back({"size 0: not even the sequence header", AtomBytes().atom(0, kSequence).get(), {}});
  cases.push_back({"size 4: half the sequence header", AtomBytes().atom(4, kSequence).u32(0).get(), {}});
  cases.push_back({"empty sequence", AtomBytes().sequence(8, kSequence).get(), {}});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(framesVisited(c.bytes), c.frames);
  }
}

TEST(AtomReader, AnObjectTooSmallForItsHeaderHasNoType)
{
  GuardedBuffer empty(AtomBytes().atom(0, kObject).get());
  EXPECT_EQ(ObjectType(*empty.as<LV2_Atom>()), 0u);
  GuardedBuffer partial(AtomBytes().atom(4, kObject).u32(0).get());
  EXPECT_EQ(ObjectType(*partial.as<LV2_Atom>()), 0u);
  GuardedBuffer whole(AtomBytes().atom(8, kObject).u32(0).u32(kPosition).get());
  EXPECT_EQ(ObjectType(*whole.as<LV2_Atom>()), kPosition);
}

TEST(AtomReader, PropertiesAreVisitedOnlyWhileHeaderAndValueLieInsideTheObject)
{
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> keys;
  };
  // An object atom with properties 11 and 12 (float values), then `tail`; the size covers it all.
  auto object = [](auto&& tail) {
    AtomBytes b;
    b.atom(0, kObject).u32(0).u32(kPosition);
    b.property(11, 4, kFloat).f32(140.0f).padTo8();
    b.property(12, 4, kFloat).f32(1.0f).padTo8();
    tail(b);
    b.patch32(0, static_cast<std::uint32_t>(b.size() - sizeof(LV2_Atom)));
    return b.get();
  };
  const std::vector<Case> cases = {
    {"two whole properties", object([](AtomBytes&) {}), {11, 12}},
    {"half a property header more", object([](AtomBytes& b) { b.u32(13).u32(0); }), {11, 12}},
    {"a value that runs one byte past the end",
     object([](AtomBytes& b) { b.property(13, 9, kFloat).f64(1.0); }),
     {11, 12}},
    // 16 + 0xFFFFFFF0 pads to 0 in 32 bits: the walk would stand still for ever.
    {"a value size near 2^32",
     object([](AtomBytes& b) { b.property(13, 0xFFFFFFF0u, kFloat).f32(2.0f).padTo8(); }),
     {11, 12}},
    {"an object of size 0", AtomBytes().atom(0, kObject).get(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer buffer(c.bytes);
    std::vector<std::uint32_t> keys;
    ForEachProperty(*buffer.as<LV2_Atom>(), [&](const LV2_Atom_Property_Body& property) {
      const auto* value = reinterpret_cast<const volatile std::uint8_t*>(&property.value + 1);
      for (std::uint32_t i = 0; i < property.value.size; ++i)
        (void)value[i];
      keys.push_back(property.key);
    });
    EXPECT_EQ(keys, c.keys);
  }
}
