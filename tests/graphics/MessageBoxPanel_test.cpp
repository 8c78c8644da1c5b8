// SPDX-License-Identifier: ISC
// Message boxes end to end on an off-screen context: the box shows at once over the dimmed editor,
// buttons, Return and Escape answer through the completion, nothing else takes the mouse meanwhile,
// and a second box waits its turn. Writes pictures of the boxes for people to look at.

#include "graphics/MessageBoxPanel.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

const char* const kNewVersion =
  "A new version of Quennet is available.\n\n\tYour version: \t1.1.2\n\tNew version: \t1.1.3\n\n"
  "Do you want to go to https://tarnwellmusic.example to get the new version?";
const char* const kNewVersionCaption = "New Version of Quennet Detected";

std::string picturePath(const std::string& name)
{
  std::filesystem::create_directories(QUENNET_TEST_PICTURES);
  return (std::filesystem::path(QUENNET_TEST_PICTURES) / name).string();
}

const MessageBoxPanel& box(Screen& s)
{
  const MessageBoxPanel* panel = s.g.GetMessageBoxPanel();
  EXPECT_NE(panel, nullptr);
  return *panel;
}

void clickButton(Screen& s, const char* label)
{
  const MessageBoxPanel& b = box(s);
  for (int i = 0; i < b.NButtons(); ++i) {
    if (std::string(b.ButtonLabel(i)) == label) {
      const IRECT r = b.ButtonRect(i);
      s.ui.clickPx(r.MW(), r.MH());
      return;
    }
  }
  ADD_FAILURE() << "no button " << label;
}

} // namespace

TEST(MessageBox, ButtonsAndKeysAnswerThroughTheCompletion)
{
  struct Case {
    const char* name;
    EMsgBoxType type;
    std::function<void(Screen&)> answer;
    EMsgBoxResult expected;
  };
  const std::vector<Case> cases = {
    {"Yes button", EMsgBoxType::kYesNo, [](Screen& s) { clickButton(s, "Yes"); }, EMsgBoxResult::kYes},
    {"No button", EMsgBoxType::kYesNo, [](Screen& s) { clickButton(s, "No"); }, EMsgBoxResult::kNo},
    {"Return answers Yes", EMsgBoxType::kYesNo, [](Screen& s) { s.ui.key(EKey::kReturn); }, EMsgBoxResult::kYes},
    {"Escape answers No", EMsgBoxType::kYesNo, [](Screen& s) { s.ui.key(EKey::kEscape); }, EMsgBoxResult::kNo},
    {"OK button", EMsgBoxType::kOK, [](Screen& s) { clickButton(s, "OK"); }, EMsgBoxResult::kOK},
    {"Return answers OK", EMsgBoxType::kOK, [](Screen& s) { s.ui.key(EKey::kReturn); }, EMsgBoxResult::kOK},
    {"Escape answers OK", EMsgBoxType::kOK, [](Screen& s) { s.ui.key(EKey::kEscape); }, EMsgBoxResult::kOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Screen s(1968, 864, 0.5f);
    std::vector<EMsgBoxResult> answers;
    s.g.ShowMessageBox(kNewVersion, kNewVersionCaption, c.type, [&](EMsgBoxResult r) { answers.push_back(r); });
    EXPECT_TRUE(answers.empty()) << "returns at once, before any answer";
    ASSERT_EQ(s.g.NMessageBoxes(), 1);
    s.frame();
    c.answer(s);
    EXPECT_EQ(answers, std::vector<EMsgBoxResult>{c.expected});
    EXPECT_EQ(s.g.NMessageBoxes(), 0);
  }
}

TEST(MessageBox, WhileOpenNothingElseTakesTheMouse)
{
  Screen s(400, 300, 1.0f);
  s.g.EnableMouseOver(true);
  auto* c = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(0, 0, 400, 300), TestPlugin::kLevel)));
  s.g.ShowMessageBox("Text", "Caption", EMsgBoxType::kOK);
  s.ui.click(5, 5);
  s.ui.drag(5, 5, 100, 100);
  EXPECT_TRUE(c->events.empty());
  EXPECT_TRUE(s.plugin.host.touched.empty());

  // Pressing a button and releasing away from it answers nothing.
  const IRECT ok = box(s).ButtonRect(0);
  s.ui.dragPx(ok.MW(), ok.MH(), 5, 5);
  EXPECT_EQ(s.g.NMessageBoxes(), 1);

  clickButton(s, "OK");
  s.ui.move(5, 5);
  s.ui.click(5, 5);
  EXPECT_EQ(c->events, (std::vector<std::string>{"over", "down", "up"})) << "the editor is back";
}

TEST(MessageBox, TheDimmedEditorAndThePanelAreDrawnAndClearedAway)
{
  Screen s(400, 300, 1.0f);
  s.attach(new RecordingControl(IRECT(0, 0, 400, 300), kNoParameter, IColor(255, 255, 255, 255)));
  s.frame();
  s.g.ShowMessageBox("Text", "Caption", EMsgBoxType::kOK);
  s.frame();
  const IColor dimmed = s.at(2, 2);
  EXPECT_LT(dimmed.R, 200);
  const IRECT b = box(s).Bounds();
  EXPECT_EQ(s.at(b.MW(), b.T + 3), IColor(255, 247, 247, 245));
  s.ui.key(EKey::kReturn);
  s.frame();
  EXPECT_EQ(s.at(2, 2), IColor(255, 255, 255, 255));
  EXPECT_EQ(s.at(b.MW(), b.T + 3), IColor(255, 255, 255, 255));
}

TEST(MessageBox, ASecondBoxWaitsItsTurn)
{
  Screen s(1968, 864, 0.5f);
  std::vector<std::string> answers;
  s.g.ShowMessageBox("first", "One", EMsgBoxType::kYesNo, [&](EMsgBoxResult r) {
    answers.push_back(r == EMsgBoxResult::kYes ? "first yes" : "first no");
    // Asked for from a completion: it queues behind the box already waiting.
    s.g.ShowMessageBox("third", "Three", EMsgBoxType::kOK, [&](EMsgBoxResult) { answers.push_back("third"); });
  });
  s.g.ShowMessageBox("second", "Two", EMsgBoxType::kOK, [&](EMsgBoxResult) { answers.push_back("second"); });
  EXPECT_EQ(s.g.NMessageBoxes(), 2);
  EXPECT_EQ(box(s).GetCaption(), "One");

  clickButton(s, "No");
  EXPECT_EQ(box(s).GetCaption(), "Two");
  s.ui.key(EKey::kReturn);
  EXPECT_EQ(box(s).GetCaption(), "Three");
  clickButton(s, "OK");
  EXPECT_EQ(answers, (std::vector<std::string>{"first no", "second", "third"}));
  EXPECT_EQ(s.g.NMessageBoxes(), 0);
}

TEST(MessageBox, ABoxDismissesAnOpenMenu)
{
  Screen s(400, 300, 1.0f);
  auto* c = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(0, 0, 10, 10))));
  IPopupMenu menu;
  menu.AddItem("item");
  s.g.CreatePopupMenu(*c, menu, IRECT(5, 5, 5, 5));
  s.g.ShowMessageBox("Text", "Caption", EMsgBoxType::kOK);
  EXPECT_FALSE(s.g.IsPopupMenuOpen());
  EXPECT_EQ(c->selections, std::vector<int>{-1});
}

TEST(MessageBox, TabsLineUpAndLongLinesWrapInsideTheSmallestWindow)
{
  for (float scale : {0.25f, 0.375f, 0.5f, 1.0f}) {
    SCOPED_TRACE(scale);
    Screen s(1968, 864, scale);
    ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
    s.g.ShowMessageBox(kNewVersion, kNewVersionCaption, EMsgBoxType::kYesNo);
    const MessageBoxPanel& b = box(s);
    const IRECT r = b.Bounds();
    EXPECT_TRUE(r.L >= 0 && r.T >= 0 && r.R <= s.g.WindowWidth() && r.B <= s.g.WindowHeight());
    EXPECT_TRUE(b.AllLinesShown());
    EXPECT_GE(b.TextPx(), 12.0f);
    for (int i = 0; i < b.NButtons(); ++i)
      EXPECT_TRUE(r.L <= b.ButtonRect(i).L && b.ButtonRect(i).B <= r.B);

    const std::vector<std::string> lines = b.Lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "A new version of Quennet is available.");
    EXPECT_EQ(lines[1], "\tYour version: \t1.1.2");
    EXPECT_EQ(lines[2], "\tNew version: \t1.1.3");
    std::string rest;
    for (std::size_t i = 3; i < lines.size(); ++i)
      rest += (i > 3 ? " " : "") + lines[i];
    EXPECT_EQ(rest, "Do you want to go to https://tarnwellmusic.example to get the new version?");
  }
}

TEST(MessageBox, AWordLongerThanALineIsBrokenNotCut)
{
  Screen s(1968, 864, 0.25f);
  ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
  const std::string path = "/home/musician/.config/TarnwellMusic/with/a/rather/long/path/to/the/configuration/"
                           "folder/of/this/user/quennet.ini";
  s.g.ShowMessageBox(("The current window size was saved to the INI configuration file:\n" + path).c_str(),
                     "Save Window Size", EMsgBoxType::kOK);
  const std::vector<std::string> lines = box(s).Lines();
  ASSERT_GE(lines.size(), 3u) << "the path takes more than one line";
  std::string joined;
  for (const std::string& l : lines)
    joined += l;
  ASSERT_GE(joined.size(), path.size());
  EXPECT_EQ(joined.substr(joined.size() - path.size()), path) << "every character is kept, in order";
  EXPECT_TRUE(box(s).AllLinesShown());
}

TEST(MessageBox, Pictures)
{
  struct Case {
    float scale;
    const char* text;
    const char* caption;
    EMsgBoxType type;
    const char* file;
  };
  const Case cases[] = {
    {0.25f, kNewVersion, kNewVersionCaption, EMsgBoxType::kYesNo, "box-new-version-0.25.png"},
    {0.5f, kNewVersion, kNewVersionCaption, EMsgBoxType::kYesNo, "box-new-version-0.50.png"},
    {1.0f, kNewVersion, kNewVersionCaption, EMsgBoxType::kYesNo, "box-new-version-1.00.png"},
    {0.5f, "Your version is up to date.", "Check Online for Update", EMsgBoxType::kOK, "box-up-to-date-0.50.png"},
    {0.25f,
     "The current window size was saved to the INI configuration file:\n"
     "/home/musician/.config/TarnwellMusic/quennet.ini",
     "Save Window Size", EMsgBoxType::kOK, "box-saved-0.25.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Screen s(1968, 864, c.scale);
    ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
    s.attach(new PaintControl(IRECT(0, 0, 1968, 864), [](IGraphics& g, const IRECT& r) {
      g.FillRect(IColor(255, 206, 200, 186), r);
      for (int i = 0; i < 8; ++i) {
        const float x = 120.0f + 220.0f * static_cast<float>(i);
        g.FillRect(IColor(255, 120, 112, 98), IRECT(x, 300, x + 120, 420));
      }
    }));
    s.g.ShowMessageBox(c.text, c.caption, c.type);
    const MessageBoxPanel& b = box(s);
    const IRECT last = b.ButtonRect(b.NButtons() - 1);
    s.ui.movePx(last.MW(), last.MH());
    s.frame();
    EXPECT_TRUE(s.view.WritePng(picturePath(c.file)));
  }
}
