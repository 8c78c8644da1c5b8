// SPDX-License-Identifier: ISC
// Runs the real make-editor-art binary into a temporary folder and reads the images back with
// stb_image: the frame counts and sizes the editor's layout relies on, the slider scale against
// the handle's travel, "on" frames that stand out, and backgrounds that keep the editor's own
// texts and envelope outlines readable.

#include <gtest/gtest.h>

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Files.h"
#include "TempDir.h"
#include "lv2/ChildProcess.h"

namespace fs = std::filesystem;

namespace {

const char* const kAssetFiles[] = {"back.jpg",  "knob.png",    "switch.png", "handle.png",
                                   "learn.png", "unlearn.png", "led.png",    "triangle.png"};

struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgba;

  bool empty() const { return rgba.empty(); }
  const unsigned char* at(int x, int y) const
  {
    return &rgba[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4];
  }
};

Picture load(const fs::path& file)
{
  Picture p;
  int channels = 0;
  unsigned char* pixels = stbi_load(file.c_str(), &p.width, &p.height, &channels, 4);
  if (pixels) {
    p.rgba.assign(pixels, pixels + static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 4);
    stbi_image_free(pixels);
  }
  return p;
}

// sRGB component 0 … 255 to linear light.
double linear(double c)
{
  c /= 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(double r, double g, double b)
{
  return 0.2126 * linear(r) + 0.7152 * linear(g) + 0.0722 * linear(b);
}

double luminance(const unsigned char* p)
{
  return luminance(p[0], p[1], p[2]);
}

// CIE lightness 0 … 100.
double lightness(double y)
{
  return y > 0.008856 ? 116.0 * std::cbrt(y) - 16.0 : 903.3 * y;
}

// WCAG contrast ratio of two luminances.
double contrast(double a, double b)
{
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

// The frame's mean luminance over a mid-dark panel, the way it shows on the editor.
double meanLuminanceOverPanel(const Picture& p, int frame, int frameHeight)
{
  const double panel = 40.0;
  double sum = 0;
  for (int y = frame * frameHeight; y < (frame + 1) * frameHeight; ++y)
    for (int x = 0; x < p.width; ++x) {
      const unsigned char* px = p.at(x, y);
      const double a = px[3] / 255.0;
      sum += luminance(px[0] * a + panel * (1 - a), px[1] * a + panel * (1 - a), px[2] * a + panel * (1 - a));
    }
  return sum / (static_cast<double>(frameHeight) * p.width);
}

class MakeEditorArt : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    sTemp = std::make_unique<TempDir>("quennet-art");
    sOut = sTemp->path() / "resources";
    sRun = runCommand({QUENNET_MAKE_EDITOR_ART, sOut.string()}, {}, sTemp->file("log.txt"));
  }
  static void TearDownTestSuite() { sTemp.reset(); }

  void SetUp() override { ASSERT_EQ(sRun.status, 0) << sRun.output; }

  static Picture picture(const char* file) { return load(sOut / file); }

  static inline std::unique_ptr<TempDir> sTemp;
  static inline fs::path sOut;
  static inline CommandResult sRun;
};

// The editor places every bitmap by its top-left corner and takes one frame's size from the file.
TEST_F(MakeEditorArt, EveryImageHasTheFramesAndSizeItsPlaceAllows)
{
  EXPECT_EQ(sRun.output, "");
  struct Case {
    const char* file;
    int frames;
    int x, y; // where the editor puts it
    int maxRight, maxBottom; // what it must not reach into
  };
  const Case cases[] = {
    {"back.jpg", 1, 0, 0, 1968, 864},
    {"knob.png", 65, 436, 572, 580, 864}, // Grain Fade-In: the next knob starts 144 to the right
    {"switch.png", 2, 1156, 204, 1348, 378}, // Frame Sync to Host, left of Frame Overlap
    {"handle.png", 1, 304, 272, 436, 864}, // Grain Length slider, left of Grain Fade-In
    {"learn.png", 2, 58, 774, 1968, 864 - 26},
    {"unlearn.png", 2, 58, 774, 1968, 864 - 26},
    {"led.png", 2, 1632, 56, 1700, 192}, // MIDI activity, above the Polyphony menu
    {"triangle.png", 1, 274, 52, 326, 96}, // fills the preset mark
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Picture p = picture(c.file);
    ASSERT_FALSE(p.empty());
    ASSERT_EQ(p.height % c.frames, 0);
    const int frameHeight = p.height / c.frames;
    EXPECT_GT(p.width, 0);
    EXPECT_GT(frameHeight, 0);
    EXPECT_LE(c.x + p.width, c.maxRight);
    EXPECT_LE(c.y + frameHeight, c.maxBottom);
  }
  const Picture back = picture("back.jpg");
  EXPECT_EQ(back.width, 1968);
  EXPECT_EQ(back.height, 864);
  const Picture triangle = picture("triangle.png");
  EXPECT_EQ(triangle.width, 52);
  EXPECT_EQ(triangle.height, 44);
  // Knob frames: square, about 120 units, as the knob rows are laid out.
  const Picture knob = picture("knob.png");
  EXPECT_EQ(knob.height, 65 * knob.width);
  EXPECT_GE(knob.width, 100);
  EXPECT_LE(knob.width, 144);
  // learn and unlearn swap on the same switch: one size.
  const Picture learn = picture("learn.png"), unlearn = picture("unlearn.png");
  EXPECT_EQ(learn.width, unlearn.width);
  EXPECT_EQ(learn.height, unlearn.height);
  // Nothing else in the folder: the font comes from elsewhere.
  EXPECT_EQ(std::distance(fs::directory_iterator(sOut), fs::directory_iterator()), std::size(kAssetFiles));
}

// The slider's control spans h/2 + 352 units down from its top for a handle frame of w × h; the
// handle's centre travels from top + h/2 (value 1) to top + 352 (value 0). The scale drawn
// beside each track must mark exactly those ends, and the groove must stay inside the control.
TEST_F(MakeEditorArt, SliderScalesMarkTheEndsOfTheHandlesTravel)
{
  const Picture back = picture("back.jpg"), handle = picture("handle.png");
  ASSERT_FALSE(handle.empty());
  const int w = handle.width, h = handle.height;
  const int trackLength = h / 2 + 352;
  for (int x : {304, 976}) {
    SCOPED_TRACE(x);
    const int top = 272;
    // Marks: rows that stand out in the columns just left of the handle's path.
    std::vector<double> marks;
    int runStart = -1;
    for (int y = top - 10; y <= top + trackLength + 10; ++y) {
      double brightest = 0;
      for (int cx = x - 16; cx <= x - 4; ++cx)
        brightest = std::max(brightest, luminance(back.at(cx, y)));
      const bool bright = brightest > 0.12;
      if (bright && runStart < 0)
        runStart = y;
      if (!bright && runStart >= 0) {
        marks.push_back((runStart + y - 1) / 2.0);
        runStart = -1;
      }
    }
    ASSERT_GE(marks.size(), 3u);
    EXPECT_NEAR(marks.front(), top + h / 2.0, 1.0);
    EXPECT_NEAR(marks.back(), top + 352.0, 1.0);
    // Evenly spaced.
    const double step = (marks.back() - marks.front()) / static_cast<double>(marks.size() - 1);
    for (std::size_t i = 0; i < marks.size(); ++i)
      EXPECT_NEAR(marks[i], marks.front() + step * static_cast<double>(i), 1.0) << "mark " << i;

    // The groove: dark along the whole travel under the handle's centre, ending inside the control.
    const int centre = x + w / 2;
    for (int y = top + h / 2; y <= top + 352; ++y)
      ASSERT_LT(luminance(back.at(centre, y)), 0.01) << "y " << y;
    for (int y = top + trackLength + 2; y <= top + trackLength + 12; ++y)
      EXPECT_GT(luminance(back.at(centre, y)), 0.01) << "y " << y;
  }
}

TEST_F(MakeEditorArt, OnFramesStandOutFromOffFrames)
{
  for (const char* file : {"switch.png", "learn.png", "unlearn.png", "led.png"}) {
    SCOPED_TRACE(file);
    const Picture p = picture(file);
    ASSERT_FALSE(p.empty());
    const double off = meanLuminanceOverPanel(p, 0, p.height / 2);
    const double on = meanLuminanceOverPanel(p, 1, p.height / 2);
    EXPECT_GT(on, 2.0 * off);
    EXPECT_GT(lightness(on) - lightness(off), 12.0);
  }
}

// Frame 1 is the lowest value and shows no lit arc; every later frame lights at least as much.
TEST_F(MakeEditorArt, KnobFramesLightTheValueArcStepByStep)
{
  const Picture knob = picture("knob.png");
  ASSERT_FALSE(knob.empty());
  const int size = knob.width;
  std::vector<int> lit;
  for (int f = 0; f < 65; ++f) {
    int count = 0;
    for (int y = f * size; y < (f + 1) * size; ++y)
      for (int x = 0; x < size; ++x) {
        const unsigned char* p = knob.at(x, y);
        count += p[3] > 200 && p[0] - p[2] > 100; // warm and opaque: the arc
      }
    lit.push_back(count);
  }
  EXPECT_EQ(lit.front(), 0);
  for (int f = 1; f < 65; ++f)
    EXPECT_GE(lit[static_cast<std::size_t>(f)], lit[static_cast<std::size_t>(f - 1)] - 3) << "frame " << f + 1;
  // The arc grows with the value: a quarter, half and the full sweep.
  EXPECT_GT(lit[16], 0);
  EXPECT_GT(lit[32], lit[16] * 3 / 2);
  EXPECT_GT(lit[64], lit[32] * 3 / 2);
}

// The editor writes dark grey values (alpha 192 of 64, 64, 64) into the slider readout bands and
// the menus' text bands, and the version in half-transparent black: the background there must
// be light enough for them.
TEST_F(MakeEditorArt, BackgroundKeepsTheEditorsTextsReadable)
{
  const Picture back = picture("back.jpg");
  struct Case {
    const char* what;
    int l, t, r, b;
    double textAlpha, textGrey;
  };
  const Case cases[] = {
    {"Grain slider readout", 280, 210, 392, 238, 192 / 255.0, 64},
    {"Frame slider readout", 952, 210, 1064, 238, 192 / 255.0, 64},
    {"Grain Mode menu", 488, 216, 616, 232, 192 / 255.0, 64},
    {"MIDI Polyphony menu", 1700, 216, 1828, 232, 192 / 255.0, 64},
    {"version", 32, 240, 212, 268, 128 / 255.0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    double worst = 1e9;
    for (int y = c.t; y < c.b; ++y)
      for (int x = c.l + 8; x < c.r - 8; ++x) {
        const unsigned char* p = back.at(x, y);
        const double a = c.textAlpha;
        const double text =
          luminance(c.textGrey * a + p[0] * (1 - a), c.textGrey * a + p[1] * (1 - a), c.textGrey * a + p[2] * (1 - a));
        worst = std::min(worst, contrast(luminance(p), text));
      }
    EXPECT_GE(worst, 3.0);
  }
}

// The envelope outline (alpha 128 of 176, 128, 112) is added to the background at weight 0.75:
// the boxes must be dark enough for that to show as a clearly lighter line everywhere.
TEST_F(MakeEditorArt, EnvelopeBoxesShowTheAddedOutline)
{
  const Picture back = picture("back.jpg");
  const double weight = 128 / 255.0 * 0.75;
  for (int left : {500, 1172}) {
    SCOPED_TRACE(left);
    double smallest = 1e9;
    for (int y = 378; y < 542; ++y)
      for (int x = left; x < left + 284; ++x) {
        const unsigned char* p = back.at(x, y);
        const double lit = luminance(std::min(255.0, p[0] + 176 * weight), std::min(255.0, p[1] + 128 * weight),
                                     std::min(255.0, p[2] + 112 * weight));
        smallest = std::min(smallest, lightness(lit) - lightness(luminance(p)));
      }
    EXPECT_GT(smallest, 18.0);
  }
}

TEST_F(MakeEditorArt, EveryRunWritesTheSameBytes)
{
  const fs::path again = sTemp->path() / "again";
  const CommandResult run = runCommand({QUENNET_MAKE_EDITOR_ART, again.string()}, {}, sTemp->file("again.txt"));
  ASSERT_EQ(run.status, 0) << run.output;
  for (const char* file : kAssetFiles) {
    SCOPED_TRACE(file);
    const std::string first = readFile(sOut / file);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first == readFile(again / file));
  }
}

TEST_F(MakeEditorArt, PreviewComposesTheArtworkAtThreeScales)
{
  const fs::path previews = sTemp->path() / "previews";
  const CommandResult run =
    runCommand({QUENNET_PREVIEW_EDITOR_ART, sOut.string(), previews.string()}, {}, sTemp->file("preview.txt"));
  ASSERT_EQ(run.status, 0) << run.output;
  struct Case {
    const char* file;
    int width, height;
  };
  for (const Case& c : {Case{"preview-msec-0.25.png", 492, 216}, Case{"preview-msec-0.5.png", 984, 432},
                        Case{"preview-msec-1.png", 1968, 864}}) {
    SCOPED_TRACE(c.file);
    const Picture p = load(previews / c.file);
    EXPECT_EQ(p.width, c.width);
    EXPECT_EQ(p.height, c.height);
  }
}

TEST(MakeEditorArtFailures, ReportWhatWentWrongAndWriteNothing)
{
  TempDir temp("quennet-art-fail");
  ASSERT_FALSE(temp.path().empty());
  writeFile(temp.path() / "file", "not a folder");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const Case cases[] = {
    {"no folder", {}, 2, "usage: make-editor-art FOLDER [FONT]"},
    {"missing font", {temp.file("out"), temp.file("no-such-font.ttf")}, 1, "cannot read the font"},
    {"not a font", {temp.file("out"), temp.file("file")}, 1, "cannot read the font"},
    {"folder below a file", {temp.file("file") + "/out"}, 1, "cannot make the folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {QUENNET_MAKE_EDITOR_ART};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandResult run = runCommand(argv, {}, temp.file("log.txt"));
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_FALSE(fs::exists(temp.path() / "out"));
  }
}

} // namespace
