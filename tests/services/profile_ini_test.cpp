// SPDX-License-Identifier: ISC
#include "Files.h"
#include "TempHome.h"
#include "services/profile_ini.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quennet;

namespace {

namespace fs = std::filesystem;

void setMtime(const std::string& path, time_t seconds)
{
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct stat statOf(const std::string& path)
{
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

std::string getString(const char* section, const char* key, const std::string& fn, const char* def = "<none>")
{
  char buf[65536];
  const int n = GetPrivateProfileString(section, key, def, buf, sizeof buf, fn.c_str());
  EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
  return std::string(buf, static_cast<std::size_t>(n));
}

// Splits a NUL-separated list closed by a second NUL.
std::vector<std::string> splitList(const char* p)
{
  std::vector<std::string> items;
  for (; *p != '\0'; p += std::strlen(p) + 1)
    items.emplace_back(p);
  return items;
}

// The whole file as the store's readers see it: "sec{key=value,...}" for every section in order.
std::string dump(const std::string& fn)
{
  char sections[65536];
  GetPrivateProfileString(nullptr, nullptr, "", sections, sizeof sections, fn.c_str());
  std::string out;
  for (const std::string& section : splitList(sections)) {
    char keys[65536];
    GetPrivateProfileString(section.c_str(), nullptr, "", keys, sizeof keys, fn.c_str());
    out += section + "{";
    bool first = true;
    for (const std::string& key : splitList(keys)) {
      out += (first ? "" : ",") + key + "=" + getString(section.c_str(), key.c_str(), fn);
      first = false;
    }
    out += "}";
  }
  return out;
}

// Entries for WritePrivateProfileSection: "k=v" strings, each NUL-terminated, closed by an empty one.
std::string entryList(const std::vector<std::string>& entries)
{
  std::string list;
  for (const std::string& e : entries)
    list += e + '\0';
  return list + '\0';
}

class ProfileIni : public ::testing::Test {
protected:
  std::string path(const std::string& name) const { return mHome.path() + "/" + name; }

  TempHome mHome;
};

// --- Parsing and reading ---

TEST_F(ProfileIni, ValueReadTrimmedThroughDifferentlyCasedKeyAndStoredUntrimmed)
{
  const std::string fn = path("p.ini");
  writeFile(fn, "[a]\nx = 1\n");
  EXPECT_EQ(getString("A", "X", fn), "1");
  EXPECT_EQ(getString("a", "y", fn, "dflt"), "dflt");
  EXPECT_EQ(getString("b", "x", fn, "dflt"), "dflt");

  // The key lost its trailing blank, the value keeps its leading one when written back.
  ASSERT_TRUE(WritePrivateProfileString("a", "z", "2", fn.c_str()));
  EXPECT_EQ(readFile(fn), "[a]\nx= 1\nz=2\n\n");
}

TEST_F(ProfileIni, QuotesStrippedOnlyWhenTheyMatch)
{
  struct Case {
    const char* stored;
    const char* read;
  } const cases[] = {
    {"\"hi\"", "hi"},     {"'hi'", "hi"},          {"\"hi'", "\"hi'"},
    {"\"", "\""},         {"  \"a b\" \t", "a b"}, {"\"\"", ""},
    {"'\"x\"'", "\"x\""}, {" \t v \t", "v"},       {"\" padded \"", " padded "},
    {"x\"", "x\""},
  };
  const std::string fn = path("q.ini");
  std::string text = "[q]\n";
  for (std::size_t i = 0; i < std::size(cases); ++i)
    text += "k" + std::to_string(i) + "=" + cases[i].stored + "\n";
  writeFile(fn, text);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].stored);
    EXPECT_EQ(getString("q", ("k" + std::to_string(i)).c_str(), fn), cases[i].read);
  }
}

TEST_F(ProfileIni, ParsesHeadersKeysAndDroppedLines)
{
  struct Case {
    const char* name;
    const char* text;
    const char* expected; // dump() of the parsed file
  } const cases[] = {
    {"repeated section replaces the earlier", "[a]\nx=1\ny=2\n[b]\nz=3\n[A]\nw=4\n", "a{w=4}b{z=3}"},
    {"empty header drops the keys after it", "[a]\nx=1\n[]\ny=2\n[b]\nz=3\n", "a{x=1}b{z=3}"},
    {"header without ] is ignored", "[a]\n[oops\nx=1\n", "a{x=1}"},
    {"text after ] is ignored", "  [a]junk=1\nx=1\n", "a{x=1}"},
    {"keys before any section are dropped", "x=1\n[a]\ny=2\n", "a{y=2}"},
    {"no comment syntax, no key without =", "[a]\n;x=1\njust text\n=5\n  \t=6\n", "a{;x=1}"},
    {"value keeps everything after the first =", "[a]\nk=v=w\n", "a{k=v=w}"},
    {"indented lines, CRLF, no final newline", "\t [s]\r\n   key \t= v \r\nlast=9", "s{key=v,last=9}"},
    {"sections and keys sorted case-insensitively", "[b]\nY=1\nx=2\n[A]\nk=3\n", "A{k=3}b{x=2,Y=1}"},
    {"equal keys collapse to the later one", "[a]\nK=1\nk=2\n", "a{k=2}"},
    {"empty file", "", ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fn = path("parse" + std::to_string(i++) + ".ini");
    writeFile(fn, c.text);
    EXPECT_EQ(dump(fn), c.expected);
  }
}

TEST_F(ProfileIni, LargePrefixWithoutHeaderYieldsNoSections)
{
  const std::string line(99, 'x');
  std::string prefix200k, prefix300k;
  for (int i = 0; i < 2000; ++i)
    prefix200k += line + "\n";
  for (int i = 0; i < 3000; ++i)
    prefix300k += line + "\n";
  ASSERT_EQ(prefix300k.size(), 300000u);

  writeFile(path("small.ini"), prefix200k + "[a]\nx=1\n");
  EXPECT_EQ(dump(path("small.ini")), "a{x=1}");
  writeFile(path("large.ini"), prefix300k + "[a]\nx=1\n");
  EXPECT_EQ(dump(path("large.ini")), "");
  EXPECT_EQ(getString("a", "x", path("large.ini"), "gone"), "gone");
}

TEST_F(ProfileIni, LinesLongerThanOneBufferStepAreReadWhole)
{
  const std::string fn = path("long.ini");
  const std::string value(20000, 'v');
  writeFile(fn, "[a]\nlong=" + value + "\nafter=1\n");
  EXPECT_EQ(getString("a", "long", fn), value);
  EXPECT_EQ(getString("a", "after", fn), "1");
}

TEST_F(ProfileIni, GetStringTruncatesToTheBuffer)
{
  const std::string fn = path("t.ini");
  writeFile(fn, "[a]\nk=hello\n");
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetPrivateProfileString("a", "k", "", buf, 4, fn.c_str()), 3);
  EXPECT_STREQ(buf, "hel");
  EXPECT_EQ(buf[4], '#');
  EXPECT_EQ(GetPrivateProfileString("a", "k", "", buf, 1, fn.c_str()), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'e');
  buf[0] = '#';
  EXPECT_EQ(GetPrivateProfileString("a", "k", "", buf, 0, fn.c_str()), 0);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(GetPrivateProfileString("a", "missing", "default", buf, 5, fn.c_str()), 4);
  EXPECT_STREQ(buf, "defa");
  EXPECT_EQ(GetPrivateProfileString("a", "missing", nullptr, buf, 5, fn.c_str()), 0);
  EXPECT_STREQ(buf, "");
}

TEST_F(ProfileIni, EnumerationIsDoubleNulTerminated)
{
  const std::string fn = path("e.ini");
  writeFile(fn, "[b]\n[a]\n[C]\nk2=1\nk1=2\n");
  struct Case {
    const char* section; // null: list the sections
    int size;
    int result;
    std::string bytes; // the first bytes of the buffer afterwards
  } const cases[] = {
    {nullptr, 64, 5, std::string("a\0b\0C\0\0", 7)}, {nullptr, 4, 2, std::string("a\0\0\0#", 5)},
    {nullptr, 2, 0, std::string("\0\0#", 3)},        {nullptr, 1, 0, std::string("\0#", 2)},
    {"c", 64, 5, std::string("k1\0k2\0\0", 7)},      {"c", 5, 3, std::string("k1\0\0\0#", 6)},
    {"a", 64, 0, std::string("\0\0#", 3)},           {"missing", 64, 0, std::string("\0\0#", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section ? c.section : "<sections>") + " size " + std::to_string(c.size));
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(GetPrivateProfileString(c.section, nullptr, "dflt", buf, c.size, fn.c_str()), c.result);
    EXPECT_EQ(std::string(buf, c.bytes.size()), c.bytes);
  }

  // Keys with an empty name are not listed.
  ASSERT_TRUE(WritePrivateProfileSection("d", entryList({"=hidden", "k=1"}).c_str(), fn.c_str()));
  char buf[64];
  EXPECT_EQ(GetPrivateProfileString("d", nullptr, "", buf, sizeof buf, fn.c_str()), 1);
  EXPECT_EQ(std::string(buf, 3), std::string("k\0\0", 3));
}

TEST_F(ProfileIni, GetSectionListsTrimmedEntries)
{
  const std::string fn = path("s.ini");
  writeFile(fn, "[a]\nk2= \"v2\" \nk1=v1\n[empty]\n");
  char buf[64];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetPrivateProfileSection("A", buf, sizeof buf, fn.c_str()), 12u);
  EXPECT_EQ(std::string(buf, 14), std::string("k1=v1\0k2=v2\0\0#", 14));

  // Cut lists stay closed by two NULs inside the buffer.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetPrivateProfileSection("a", buf, 8, fn.c_str()), 6u);
  EXPECT_EQ(std::string(buf, 9), std::string("k1=v1\0\0\0#", 9));

  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetPrivateProfileSection("empty", buf, sizeof buf, fn.c_str()), 0u);
  EXPECT_EQ(std::string(buf, 3), std::string("\0\0#", 3));
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(GetPrivateProfileSection("missing", buf, 1, fn.c_str()), 0u);
  EXPECT_EQ(std::string(buf, 2), std::string("\0#", 2));
  EXPECT_EQ(GetPrivateProfileSection("a", buf, 0, fn.c_str()), 0u);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], '#');
}

TEST_F(ProfileIni, GetIntReadsLeadingDecimalOrDefault)
{
  struct Case {
    const char* stored; // null: key missing
    int expected;
  } const cases[] = {
    {"abc", 7},
    {"0x10", 0},
    {"42", 42},
    {"-5", -5},
    {"0", 0},
    {"", 7},
    {nullptr, 7},
    {" 12 ", 12},
    {"'3'", 3},
    {"12abc", 12},
    {"99999999999", INT_MAX},
    {"-99999999999", INT_MIN},
  };
  const std::string fn = path("i.ini");
  std::string text = "[i]\n";
  for (std::size_t i = 0; i < std::size(cases); ++i)
    if (cases[i].stored != nullptr)
      text += "k" + std::to_string(i) + "=" + cases[i].stored + "\n";
  writeFile(fn, text);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].stored ? cases[i].stored : "<missing>");
    EXPECT_EQ(GetPrivateProfileInt("i", ("k" + std::to_string(i)).c_str(), 7, fn.c_str()), cases[i].expected);
  }
}

// --- Struct values ---

TEST_F(ProfileIni, StructStoredAsHexWithChecksum)
{
  const std::string fn = path("st.ini");
  const unsigned char data[] = {0x01, 0x02, 0x03};
  ASSERT_TRUE(WritePrivateProfileStruct("s", "v", data, 3, fn.c_str()));
  EXPECT_EQ(getString("s", "v", fn), "01020306");
  EXPECT_EQ(readFile(fn), "[s]\nv=01020306\n\n");

  unsigned char back[3] = {};
  EXPECT_TRUE(GetPrivateProfileStruct("s", "v", back, 3, fn.c_str()));
  EXPECT_EQ(back[0], 1);
  EXPECT_EQ(back[1], 2);
  EXPECT_EQ(back[2], 3);

  // The checksum wraps modulo 256.
  const unsigned char wrap[] = {0xFF, 0x02, 0xAB};
  ASSERT_TRUE(WritePrivateProfileStruct("s", "w", wrap, 3, fn.c_str()));
  EXPECT_EQ(getString("s", "w", fn), "FF02ABAC");
}

TEST_F(ProfileIni, StructReadRefusesBadLengthDigitsAndChecksum)
{
  struct Case {
    const char* stored;
    int count;
    bool ok;
    std::vector<unsigned char> bytes; // expected buffer afterwards (starts as 0xEE)
  } const cases[] = {
    {"01020306", 3, true, {1, 2, 3}},
    {"0a0B15", 2, true, {0x0A, 0x0B}},
    {"01020307", 3, false, {1, 2, 3}},
    {"010203", 3, false, {0xEE, 0xEE, 0xEE}},
    {"0102030600", 3, false, {0xEE, 0xEE, 0xEE}},
    {"01G20306", 3, false, {1, 0xEE, 0xEE}},
    {"00", 0, true, {}},
  };
  const std::string fn = path("sb.ini");
  std::string text = "[s]\n";
  for (std::size_t i = 0; i < std::size(cases); ++i)
    text += "k" + std::to_string(i) + "=" + cases[i].stored + "\n";
  writeFile(fn, text);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.stored);
    std::vector<unsigned char> buf(4, 0xEE);
    EXPECT_EQ(GetPrivateProfileStruct("s", ("k" + std::to_string(i)).c_str(), buf.data(), c.count, fn.c_str()), c.ok);
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + c.count), c.bytes);
  }
  unsigned char one;
  EXPECT_FALSE(GetPrivateProfileStruct("s", "missing", &one, 1, fn.c_str()));
  EXPECT_FALSE(GetPrivateProfileStruct(nullptr, "k0", &one, 1, fn.c_str()));
  EXPECT_FALSE(GetPrivateProfileStruct("s", nullptr, &one, 1, fn.c_str()));
  EXPECT_FALSE(GetPrivateProfileStruct("s", "k0", &one, -1, fn.c_str()));
}

// --- Writing ---

TEST_F(ProfileIni, WriteNormalisesOrderAndKeepsStoredSpelling)
{
  const std::string fn = path("n.ini");
  writeFile(fn, "[zeta]\nb=2\nA=1\n[Alpha]\nq=1\ngarbage line\n;c=3\n[beta]\nx=1\n");
  ASSERT_TRUE(WritePrivateProfileString("alpha", "M", "new", fn.c_str()));
  EXPECT_EQ(readFile(fn), "[Alpha]\n;c=3\nM=new\nq=1\n\n[beta]\nx=1\n\n[zeta]\nA=1\nb=2\n\n");

  ASSERT_TRUE(WritePrivateProfileString("ALPHA", "Q", "9", fn.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("Gamma", "k", "", fn.c_str()));
  EXPECT_EQ(readFile(fn), "[Alpha]\n;c=3\nM=new\nq=9\n\n[beta]\nx=1\n\n[Gamma]\nk=\n\n[zeta]\nA=1\nb=2\n\n");
}

TEST_F(ProfileIni, DeletesKeysAndSections)
{
  const std::string fn = path("d.ini");
  writeFile(fn, "[a]\nx=1\ny=2\n[b]\nz=3\n[c]\nw=4\n");
  ASSERT_TRUE(WritePrivateProfileString("a", "X", nullptr, fn.c_str()));
  ASSERT_TRUE(WritePrivateProfileString("B", nullptr, nullptr, fn.c_str()));
  ASSERT_TRUE(WritePrivateProfileStruct("c", nullptr, nullptr, 0, fn.c_str()));
  EXPECT_EQ(readFile(fn), "[a]\ny=2\n\n");
  ASSERT_TRUE(WritePrivateProfileStruct("a", "y", nullptr, 0, fn.c_str()));
  EXPECT_EQ(readFile(fn), "[a]\n\n");
  // Deleting what is not there is fine and leaves the file alone.
  EXPECT_TRUE(WritePrivateProfileString("a", "none", nullptr, fn.c_str()));
  EXPECT_TRUE(WritePrivateProfileString("none", nullptr, nullptr, fn.c_str()));
}

TEST_F(ProfileIni, UnchangedWriteLeavesTheFileAlone)
{
  const std::string fn = path("u.ini");
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "v", fn.c_str()));
  setMtime(fn, 1000000000);
  const struct stat before = statOf(fn);

  ASSERT_TRUE(WritePrivateProfileString("A", "X", "v", fn.c_str()));
  const struct stat after = statOf(fn);
  EXPECT_EQ(after.st_mtime, 1000000000);
  EXPECT_EQ(after.st_ino, before.st_ino);

  // Values compare case-sensitively: a change of case is a change.
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "V", fn.c_str()));
  EXPECT_NE(statOf(fn).st_mtime, 1000000000);
  EXPECT_EQ(readFile(fn), "[a]\nx=V\n\n");
}

TEST_F(ProfileIni, WriteSectionReplacesContent)
{
  const std::string fn = path("ws.ini");
  writeFile(fn, "[a]\nold=1\n[b]\nz=3\n");
  ASSERT_TRUE(WritePrivateProfileSection(
    "A", entryList({"k=v", "no equals sign", "K2= spaced = value ", "k=again"}).c_str(), fn.c_str()));
  EXPECT_EQ(readFile(fn), "[a]\nk=again\nK2= spaced = value \n\n[b]\nz=3\n\n");
  EXPECT_EQ(getString("a", "k2", fn), "spaced = value");
}

TEST_F(ProfileIni, WriteSectionWithNoEntries)
{
  const std::string fn = path("we.ini");
  writeFile(fn, "[a]\nx=1\n[b]\nz=3\n");

  // An existing section stays as an empty header.
  ASSERT_TRUE(WritePrivateProfileSection("a", entryList({}).c_str(), fn.c_str()));
  EXPECT_EQ(readFile(fn), "[a]\n\n[b]\nz=3\n\n");

  // A missing section is neither created nor written.
  setMtime(fn, 1000000000);
  const struct stat before = statOf(fn);
  ASSERT_TRUE(WritePrivateProfileSection("c", entryList({}).c_str(), fn.c_str()));
  EXPECT_EQ(statOf(fn).st_mtime, 1000000000);
  EXPECT_EQ(statOf(fn).st_ino, before.st_ino);
  EXPECT_EQ(readFile(fn), "[a]\n\n[b]\nz=3\n\n");

  // Nor is a missing file.
  ASSERT_TRUE(WritePrivateProfileSection("c", entryList({}).c_str(), path("absent.ini").c_str()));
  EXPECT_FALSE(fs::exists(path("absent.ini")));
}

TEST_F(ProfileIni, RefusesInvalidArgumentsAndWhatTheFileCannotHold)
{
  const std::string fn = path("r.ini");
  writeFile(fn, "[a]\nx=1\n");
  const std::string original = readFile(fn);
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
  } const cases[] = {
    {"null section", nullptr, "k", "v"},
    {"empty key", "a", "", "v"},
    {"line break in value", "a", "k", "1\n[evil]\nk=2"},
    {"carriage return in key", "a", "k\rx", "1"},
    {"] in section", "a]b", "k", "1"},
    {"= in key", "a", "x=y", "1"},
    {"key read as a header", "a", " [k]", "1"},
    {"empty section", "", "k", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(WritePrivateProfileString(c.section, c.key, c.value, fn.c_str()));
  }
  EXPECT_FALSE(WritePrivateProfileSection(nullptr, entryList({"k=1"}).c_str(), fn.c_str()));
  EXPECT_FALSE(WritePrivateProfileSection("a", entryList({"k=1", "z=2\n[evil]"}).c_str(), fn.c_str()));
  EXPECT_EQ(readFile(fn), original);
  EXPECT_EQ(dump(fn), "a{x=1}");
}

TEST_F(ProfileIni, FailedWriteKeepsTheChangeAndRetriesIt)
{
  const std::string dir = path("later");
  const std::string fn = dir + "/f.ini";
  EXPECT_FALSE(WritePrivateProfileString("a", "x", "1", fn.c_str()));
  EXPECT_EQ(getString("a", "x", fn), "1"); // still in memory

  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  EXPECT_TRUE(WritePrivateProfileString("a", "x", "1", fn.c_str()));
  EXPECT_EQ(readFile(fn), "[a]\nx=1\n\n");
}

TEST_F(ProfileIni, ReplacementKeepsPermissions)
{
  const std::string fn = path("perm.ini");
  writeFile(fn, "[a]\nx=1\n");
  ASSERT_EQ(::chmod(fn.c_str(), 0600), 0);
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "2", fn.c_str()));
  EXPECT_EQ(statOf(fn).st_mode & 07777, 0600u);
}

// --- Files, processes and the cache ---

TEST_F(ProfileIni, BareNamesResolveUnderHome)
{
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "plain", nullptr));
  EXPECT_EQ(readFile(path(".libProfile.ini")), "[a]\nx=plain\n\n");
  EXPECT_EQ(getString("a", "x", ""), "plain");

  ASSERT_TRUE(WritePrivateProfileString("a", "x", "abc", "abc"));
  EXPECT_EQ(readFile(path(".libProfile_abc.ini")), "[a]\nx=abc\n\n");
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "ini", "Named.INI"));
  EXPECT_EQ(readFile(path(".libProfile_Named.INI")), "[a]\nx=ini\n\n");
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "other", "n.cfg"));
  EXPECT_EQ(readFile(path(".libProfile_n.cfg.ini")), "[a]\nx=other\n\n");

  // A default path replaces the HOME one; its extension makes way for the name.
  const std::string base = path("base.cfg");
  SetPrivateProfileDefaultPath(base.c_str());
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "d", "abc"));
  ASSERT_TRUE(WritePrivateProfileString("a", "x", "d0", nullptr));
  SetPrivateProfileDefaultPath(nullptr);
  EXPECT_EQ(readFile(path("base_abc.ini")), "[a]\nx=d\n\n");
  EXPECT_EQ(readFile(base), "[a]\nx=d0\n\n");
  EXPECT_EQ(getString("a", "x", "abc"), "abc");

  // A home path too long for the profile path is refused rather than cut short.
  const std::string longHome = mHome.path() + "/" + std::string(500, 'h');
  ::setenv("HOME", longHome.c_str(), 1);
  EXPECT_FALSE(WritePrivateProfileString("a", "x", "1", nullptr));
  EXPECT_EQ(getString("a", "x", "", "dflt"), "dflt");
}

TEST_F(ProfileIni, ChangesByAnotherProcessAreSeenAtTheNextCall)
{
  const std::string fn = path("o.ini");
  writeFile(fn, "[a]\nx=1\n");
  EXPECT_EQ(getString("a", "x", fn), "1");

  writeFile(fn, "[a]\nx=22\n"); // new size
  EXPECT_EQ(getString("a", "x", fn), "22");

  writeFile(fn, "[a]\nx=33\n"); // same size, another time
  setMtime(fn, 1500000000);
  EXPECT_EQ(getString("a", "x", fn), "33");

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0)
    ::_exit(WritePrivateProfileString("a", "x", "44", fn.c_str()) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(getString("a", "x", fn), "44");

  ::unlink(fn.c_str());
  EXPECT_EQ(getString("a", "x", fn, "deleted"), "deleted");
}

TEST_F(ProfileIni, SymlinkedFileKeepsItsLink)
{
  ASSERT_EQ(::mkdir(path("real").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(path("links").c_str(), 0700), 0);
  const std::string target = path("real/p.ini");
  const std::string link = path("links/p.ini");
  writeFile(target, "[a]\nx=1\n");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);

  EXPECT_EQ(getString("a", "x", link), "1");
  ASSERT_TRUE(WritePrivateProfileString("a", "y", "2", link.c_str()));

  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(readFile(target), "[a]\nx=1\ny=2\n\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(path("links")), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(path("real")), fs::directory_iterator()), 1);
  EXPECT_EQ(getString("a", "y", link), "2");
}

TEST_F(ProfileIni, LeastRecentlyUsedContextIsReplaced)
{
  // 33 files for 32 contexts. A change that keeps size and time is invisible to the store, so
  // after it a file still read from the cache shows its old value, an evicted one its new value.
  std::vector<std::string> files;
  for (int i = 0; i <= 32; ++i) {
    files.push_back(path("lru" + std::to_string(i) + ".ini"));
    writeFile(files.back(), "[a]\nx=old\n");
    setMtime(files.back(), 1000000000);
  }
  for (int i = 0; i < 32; ++i)
    EXPECT_EQ(getString("a", "x", files[i]), "old");
  EXPECT_EQ(getString("a", "x", files[0]), "old"); // file 1 is now the least recently used
  EXPECT_EQ(getString("a", "x", files[32]), "old");

  for (int i : {0, 1, 2}) {
    writeFile(files[i], "[a]\nx=new\n");
    setMtime(files[i], 1000000000);
  }
  EXPECT_EQ(getString("a", "x", files[0]), "old"); // still cached
  EXPECT_EQ(getString("a", "x", files[1]), "new"); // evicted by file 32, read again (evicts file 2)
  EXPECT_EQ(getString("a", "x", files[2]), "new");
}

// --- Crash safety ---

struct Contents {
  std::string entries; // for WritePrivateProfileSection
  std::string file; // the file the store writes for them
  std::string listing; // what GetPrivateProfileSection gives back
};

Contents makeContents(int keys, char fill, int valueLength)
{
  Contents c;
  c.file = "[s]\n";
  std::vector<std::string> entries;
  for (int i = 0; i < keys; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "k%05d", i);
    const std::string entry = std::string(key) + "=" + std::string(static_cast<std::size_t>(valueLength), fill);
    entries.push_back(entry);
    c.file += entry + "\n";
    c.listing += entry + '\0';
  }
  c.file += "\n";
  c.entries = entryList(entries);
  return c;
}

std::string sectionListing(const std::string& fn)
{
  std::vector<char> buf(1 << 20);
  const unsigned n = GetPrivateProfileSection("s", buf.data(), static_cast<unsigned>(buf.size()), fn.c_str());
  return std::string(buf.data(), n);
}

// Kills and reaps the child however the test ends.
struct ChildGuard {
  pid_t pid;
  ~ChildGuard()
  {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

TEST_F(ProfileIni, ReaderInAnotherProcessNeverSeesAHalfWrittenFile)
{
  const std::string fn = path("c.ini");
  const Contents a = makeContents(400, 'a', 20);
  const Contents b = makeContents(400, 'b', 30);
  ASSERT_TRUE(WritePrivateProfileSection("s", a.entries.c_str(), fn.c_str()));
  ASSERT_EQ(readFile(fn), a.file);

  ChildGuard writer{::fork()};
  ASSERT_GE(writer.pid, 0);
  if (writer.pid == 0) {
    bool ok = true;
    for (int i = 0; i < 300; ++i)
      ok = WritePrivateProfileSection("s", (i % 2 == 0 ? b : a).entries.c_str(), fn.c_str()) && ok;
    ::_exit(ok ? 0 : 1);
  }

  int reads = 0, badFiles = 0, badListings = 0, status = 0;
  for (;;) {
    const pid_t done = ::waitpid(writer.pid, &status, WNOHANG);
    const std::string file = readFile(fn);
    badFiles += (file != a.file && file != b.file);
    const std::string listing = sectionListing(fn);
    badListings += (listing != a.listing && listing != b.listing);
    ++reads;
    if (done == writer.pid)
      break;
    ASSERT_EQ(done, 0);
  }
  writer.pid = 0;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(badFiles, 0) << "of " << reads << " reads";
  EXPECT_EQ(badListings, 0) << "of " << reads << " reads";
  EXPECT_EQ(readFile(fn), a.file); // 300 writes end with a
}

TEST_F(ProfileIni, TwoWritingProcessesNeverMixTheirFiles)
{
  // Both write through the same temporary name; the second must not truncate or append to the
  // file the first is about to rename into place.
  const std::string fn = path("w2.ini");
  const Contents a = makeContents(400, 'a', 20);
  const Contents b = makeContents(400, 'b', 30);
  ASSERT_TRUE(WritePrivateProfileSection("s", a.entries.c_str(), fn.c_str()));

  ChildGuard writers[2] = {{-1}, {-1}};
  for (int w = 0; w < 2; ++w) {
    writers[w].pid = ::fork();
    ASSERT_GE(writers[w].pid, 0);
    if (writers[w].pid == 0) {
      bool ok = true;
      for (int i = 0; i < 150; ++i)
        ok = WritePrivateProfileSection("s", (w == 0 ? a : b).entries.c_str(), fn.c_str()) && ok;
      ::_exit(ok ? 0 : 1);
    }
  }
  int reads = 0, badFiles = 0, running = 2;
  while (running > 0) {
    const std::string file = readFile(fn);
    badFiles += (file != a.file && file != b.file);
    ++reads;
    for (ChildGuard& w : writers) {
      int status = 0;
      if (w.pid > 0 && ::waitpid(w.pid, &status, WNOHANG) == w.pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        w.pid = 0;
        --running;
      }
    }
  }
  EXPECT_EQ(badFiles, 0) << "of " << reads << " reads";
  const std::string file = readFile(fn);
  EXPECT_TRUE(file == a.file || file == b.file);
}

TEST_F(ProfileIni, WriterKilledAtAnyMomentLeavesOldOrNewFile)
{
  const std::string fn = path("k.ini");
  const Contents a = makeContents(3000, 'a', 40);
  const Contents b = makeContents(3000, 'b', 50);
  unsigned seed = 12345;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(WritePrivateProfileSection("s", a.entries.c_str(), fn.c_str()));

    ChildGuard writer{::fork()};
    ASSERT_GE(writer.pid, 0);
    if (writer.pid == 0) {
      for (int i = 0; i < 100000; ++i)
        WritePrivateProfileSection("s", (i % 2 == 0 ? b : a).entries.c_str(), fn.c_str());
      ::_exit(0);
    }
    // Kill after a pseudo-random amount of work, checking the file meanwhile.
    seed = seed * 1103515245u + 12345u;
    const int readsBeforeKill = 1 + static_cast<int>((seed >> 16) % 40);
    for (int i = 0; i < readsBeforeKill; ++i) {
      const std::string file = readFile(fn);
      EXPECT_TRUE(file == a.file || file == b.file);
    }
    ::kill(writer.pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(writer.pid, &status, 0), writer.pid);
    writer.pid = 0;

    const std::string file = readFile(fn);
    EXPECT_TRUE(file == a.file || file == b.file) << "size " << file.size();
    const std::string listing = sectionListing(fn);
    EXPECT_TRUE(listing == a.listing || listing == b.listing);
  }
  // A temporary file left by a killed writer does not stand in the way of the next write.
  ASSERT_TRUE(WritePrivateProfileSection("s", b.entries.c_str(), fn.c_str()));
  EXPECT_EQ(readFile(fn), b.file);
}

} // namespace
