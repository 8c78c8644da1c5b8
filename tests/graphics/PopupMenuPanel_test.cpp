// SPDX-License-Identifier: ISC
// Pop-up menus end to end on an off-screen context: a control opens a menu at the click, the user
// hovers and clicks (or drags, or presses Escape), and the control hears the outcome; the menu stays
// inside the window at every scale. Writes pictures of the menus for people to look at.

#include "graphics/PopupMenuPanel.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "GraphicsTestSupport.h"

using namespace gtest_graphics;

namespace {

const char* const kNoteValues[] = {"1/64", "1/32", "1/16T", "1/32.", "1/16", "1/8T", "1/16.", "1/8", "1/4T", "1/8.",
                                   "1/4",  "1/2T", "1/4.",  "1/2",   "1/2.", "1/1",  "1/1.",  "2/1", "2/1.", "4/1"};

// Opens its menu at the point of any click.
class MenuControl : public RecordingControl {
public:
  using RecordingControl::RecordingControl;

  void OnMouseDown(float x, float y, const IMouseMod& mod) override
  {
    RecordingControl::OnMouseDown(x, y, mod);
    GetUI()->CreatePopupMenu(*this, menu, IRECT(x, y, x, y), 0);
  }

  IPopupMenu menu;
};

void fillNoteValues(IPopupMenu& menu, int checked)
{
  menu.Clear();
  for (int i = 0; i < 20; ++i)
    menu.AddItem(kNoteValues[i], i);
  menu.CheckItemAlone(checked);
}

void fillPresets(IPopupMenu& menu)
{
  const char* names[] = {"default",        "Sync 2 Host",      "Frequency", "MIDI Standard", "MIDI Synced",
                         "Ring Modulator", "Synced Reversals", "Sequenced", "Slap Back",     "Strange Mix"};
  menu.Clear();
  for (int i = 0; i < 10; ++i)
    menu.AddItem(names[i], i, i == 3 ? IPopupMenu::kChecked : 0);
  menu.AddSeparator(10);
  menu.AddItem("Reset Current Preset", 11);
}

const PopupMenuPanel& openPanel(Screen& s)
{
  const PopupMenuPanel* panel = s.g.GetPopupMenuPanel();
  EXPECT_NE(panel, nullptr);
  return *panel;
}

bool inside(const IRECT& r, int w, int h)
{
  return r.L >= 0 && r.T >= 0 && r.R <= w && r.B <= h;
}

std::string picturePath(const std::string& name)
{
  std::filesystem::create_directories(QUENNET_TEST_PICTURES);
  return (std::filesystem::path(QUENNET_TEST_PICTURES) / name).string();
}

// An editor-like window to put menus and boxes over.
void addScenery(Screen& s)
{
  s.attach(new PaintControl(IRECT(0, 0, static_cast<float>(s.g.Width()), static_cast<float>(s.g.Height())),
                            [](IGraphics& g, const IRECT& r) {
                              g.FillRect(IColor(255, 206, 200, 186), r);
                              for (int i = 0; i < 8; ++i) {
                                const float x = 120.0f + 220.0f * static_cast<float>(i);
                                g.FillRect(IColor(255, 120, 112, 98), IRECT(x, 300, x + 120, 420));
                                g.DrawText(IText(40, IColor(192, 64, 64, 64)), "1/4", IRECT(x - 30, 200, x + 150, 260));
                              }
                              g.DrawText(IText(24, IColor(128, 0, 0, 0)), "v.1.1.2", IRECT(32, 240, 212, 268));
                            }));
}

} // namespace

TEST(PopupMenu, HoverThenClickReachesTheControlWithTheIndex)
{
  Screen s(400, 300, 1.0f);
  ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
  s.g.EnableMouseOver(true);
  auto* c = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(50, 50, 150, 100), TestPlugin::kMode)));
  for (const char* t : {"A", "B", "C", "D", "E"})
    c->menu.AddItem(t);

  s.ui.click(60, 60);
  ASSERT_TRUE(s.g.IsPopupMenuOpen());
  const PopupMenuPanel& panel = openPanel(s);
  EXPECT_EQ(panel.Bounds().L, 60);
  EXPECT_EQ(panel.Bounds().T, 60);
  s.frame();

  const IRECT item = panel.ItemRect(2);
  s.ui.movePx(item.MW(), item.MH());
  EXPECT_EQ(panel.GetHover(), 2);
  s.frame();
  EXPECT_EQ(s.at(item.L + 8, item.MH()), IColor(255, 44, 110, 213)) << "the hovered item is highlighted";
  EXPECT_NE(s.at(panel.ItemRect(1).L + 8, panel.ItemRect(1).MH()), IColor(255, 44, 110, 213));

  s.plugin.host.touched.clear();
  s.plugin.host.released.clear();
  s.ui.clickPx(item.MW(), item.MH());
  EXPECT_FALSE(s.g.IsPopupMenuOpen());
  EXPECT_EQ(c->selections, std::vector<int>{2});
  EXPECT_EQ(c->menu.GetChosenItemIdx(), 2);
  EXPECT_EQ(c->selectionValIdx, 0);
  EXPECT_EQ(s.plugin.host.touched, std::vector<int>{TestPlugin::kMode}) << "a selection is a gesture for the host";
  EXPECT_EQ(s.plugin.host.released, std::vector<int>{TestPlugin::kMode});
  // Where the menu was, the control shows again.
  s.frame();
  EXPECT_EQ(s.at(item.MW(), item.MH()),
            (item.MH() < 100 && item.MW() < 150) ? IColor(255, 255, 0, 0) : IColor(255, 60, 60, 60));
}

TEST(PopupMenu, EscapeOrAClickOutsideDismisses)
{
  Screen s(400, 300, 1.0f);
  auto* c = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(50, 50, 150, 100))));
  auto* other = static_cast<RecordingControl*>(s.attach(new RecordingControl(IRECT(300, 200, 380, 280))));
  c->menu.AddItem("one");
  c->menu.AddItem("two");

  s.ui.click(60, 60);
  ASSERT_TRUE(s.g.IsPopupMenuOpen());
  EXPECT_TRUE(s.ui.key(EKey::kEscape));
  EXPECT_FALSE(s.g.IsPopupMenuOpen());
  EXPECT_EQ(c->selections, std::vector<int>{-1});
  EXPECT_EQ(c->menu.GetChosenItemIdx(), -1);

  s.ui.click(60, 60);
  s.ui.click(340, 240);
  EXPECT_FALSE(s.g.IsPopupMenuOpen());
  EXPECT_EQ(c->selections, (std::vector<int>{-1, -1}));
  EXPECT_TRUE(other->events.empty()) << "the dismissing click goes no further";
  EXPECT_FALSE(s.ui.key(EKey::kEscape)) << "no menu: the key is not used";
}

TEST(PopupMenu, PressDragReleaseChoosesAndAPlainClickKeepsItOpen)
{
  Screen s(400, 300, 1.0f);
  auto* c = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(50, 50, 150, 100))));
  for (const char* t : {"one", "two", "three", "four"})
    c->menu.AddItem(t);

  // Press opens; releasing at the same point leaves the menu open.
  s.ui.click(60, 60);
  ASSERT_TRUE(s.g.IsPopupMenuOpen());
  EXPECT_TRUE(c->selections.empty());
  s.ui.key(EKey::kEscape);

  // Press, drag onto the fourth item, release: chosen.
  s.ui.move(60, 60);
  s.ui.press(60, 60);
  const IRECT item = openPanel(s).ItemRect(3);
  s.ui.movePx(item.MW(), item.MH(), UiDriver::left());
  s.ui.releasePx(item.MW(), item.MH());
  EXPECT_FALSE(s.g.IsPopupMenuOpen());
  EXPECT_EQ(c->selections, (std::vector<int>{-1, 3}));
  // The opening press still ended as a press on the control.
  EXPECT_EQ(c->events.back(), "up");
}

TEST(PopupMenu, ReturnChoosesTheHighlightedItem)
{
  Screen s(400, 300, 1.0f);
  auto* c = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(50, 50, 150, 100))));
  c->menu.AddItem("one");
  c->menu.AddItem("two");
  s.ui.click(60, 60);
  EXPECT_TRUE(s.ui.key(EKey::kReturn)) << "nothing highlighted: the menu stays";
  EXPECT_TRUE(s.g.IsPopupMenuOpen());
  const IRECT item = openPanel(s).ItemRect(1);
  s.ui.movePx(item.MW(), item.MH());
  s.ui.key(EKey::kReturn);
  EXPECT_EQ(c->selections, std::vector<int>{1});
}

TEST(PopupMenu, SeparatorsCannotBeChosenAndCheckMarksShow)
{
  Screen s(400, 300, 1.0f);
  ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
  auto* c = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(20, 20, 60, 60))));
  fillPresets(c->menu);
  s.ui.click(30, 30);
  const PopupMenuPanel& panel = openPanel(s);
  s.frame();

  const IRECT separator = panel.ItemRect(10);
  EXPECT_EQ(panel.ItemAt(separator.MW(), separator.MH()), -1);
  s.ui.clickPx(separator.MW(), separator.MH());
  EXPECT_TRUE(s.g.IsPopupMenuOpen()) << "a click on a separator chooses nothing";

  // The check mark sits left of the text of item 3 only.
  auto darkInGutter = [&](int idx) {
    const IRECT r = panel.ItemRect(idx);
    int dark = 0;
    for (int y = static_cast<int>(r.T); y < static_cast<int>(r.B); ++y)
      for (int x = static_cast<int>(r.L); x < static_cast<int>(r.L + panel.TextPx() * 1.4f); ++x)
        dark += s.at(x, y).R < 128;
    return dark;
  };
  EXPECT_GT(darkInGutter(3), 10);
  EXPECT_EQ(darkInGutter(2), 0);

  const IRECT reset = panel.ItemRect(11);
  s.ui.clickPx(reset.MW(), reset.MH());
  EXPECT_EQ(c->selections, std::vector<int>{11});
}

TEST(PopupMenu, ASecondMenuDismissesTheFirst)
{
  Screen s(400, 300, 1.0f);
  auto* a = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(0, 0, 10, 10))));
  auto* b = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(20, 0, 30, 10))));
  a->menu.AddItem("a");
  b->menu.AddItem("b");
  s.g.CreatePopupMenu(*a, a->menu, IRECT(5, 5, 5, 5));
  s.g.CreatePopupMenu(*b, b->menu, IRECT(25, 5, 25, 5));
  EXPECT_EQ(a->selections, std::vector<int>{-1});
  EXPECT_EQ(&openPanel(s).Control(), b);

  IPopupMenu empty;
  s.g.CreatePopupMenu(*a, empty, IRECT(5, 5, 5, 5));
  EXPECT_FALSE(s.g.IsPopupMenuOpen()) << "an empty menu closes at once";
  EXPECT_EQ(a->selections, (std::vector<int>{-1, -1}));
  EXPECT_EQ(b->selections, std::vector<int>{-1});
}

TEST(PopupMenu, AtTheWindowsEdgesTheMenuStaysInside)
{
  struct Case {
    float scale;
    float x, y; // design units
  };
  const Case cases[] = {{1.0f, 1960, 860},  {1.0f, 1960, 10}, {1.0f, 10, 860},    {0.5f, 1900, 800},
                        {0.25f, 1967, 863}, {0.25f, 0, 0},    {0.375f, 1000, 850}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.scale << " at " << c.x << ", " << c.y);
    Screen s(1968, 864, c.scale);
    auto* control = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(0, 0, 1968, 864))));
    fillPresets(control->menu);
    s.ui.click(c.x, c.y);
    const PopupMenuPanel& panel = openPanel(s);
    EXPECT_TRUE(inside(panel.Bounds(), s.g.WindowWidth(), s.g.WindowHeight()))
      << panel.Bounds().L << " " << panel.Bounds().T << " " << panel.Bounds().R << " " << panel.Bounds().B;
    for (int i = 0; i < control->menu.NItems(); ++i)
      EXPECT_TRUE(inside(panel.ItemRect(i), s.g.WindowWidth(), s.g.WindowHeight())) << i;
  }
}

TEST(PopupMenu, TheNoteValueListFitsTheSmallestWindowReadably)
{
  Screen s(1968, 864, 0.25f);
  ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
  ASSERT_EQ(s.g.WindowWidth(), 492);
  ASSERT_EQ(s.g.WindowHeight(), 216);
  auto* c = static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(0, 0, 1968, 864))));
  fillNoteValues(c->menu, 10);
  s.ui.click(1000, 500);
  const PopupMenuPanel& panel = openPanel(s);
  EXPECT_GE(panel.TextPx(), 12.0f);
  EXPECT_GE(panel.NColumns(), 2);
  EXPECT_TRUE(inside(panel.Bounds(), 492, 216));
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(inside(panel.ItemRect(i), 492, 216)) << i;
    EXPECT_GE(panel.ItemRect(i).H(), panel.TextPx()) << i;
  }
  // Items in the second column can be chosen.
  const IRECT last = panel.ItemRect(19);
  s.ui.clickPx(last.MW(), last.MH());
  EXPECT_EQ(c->selections, std::vector<int>{19});
}

TEST(PopupMenu, PicturesAtThreeScales)
{
  struct Case {
    float scale;
    bool presets;
    float x, y;
    const char* file;
  };
  const Case cases[] = {
    {0.25f, false, 1000, 400, "menu-notes-0.25.png"}, {0.5f, false, 1000, 400, "menu-notes-0.50.png"},
    {1.0f, false, 1000, 400, "menu-notes-1.00.png"},  {0.25f, true, 280, 80, "menu-presets-0.25.png"},
    {0.5f, true, 280, 80, "menu-presets-0.50.png"},   {1.0f, true, 1800, 800, "menu-presets-1.00-corner.png"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Screen s(1968, 864, c.scale);
    ASSERT_TRUE(s.g.LoadFont("Roboto-Bold.ttf", "Roboto-Bold.ttf"));
    addScenery(s);
    auto* control =
      static_cast<MenuControl*>(s.attach(new MenuControl(IRECT(0, 0, 1968, 864), kNoParameter, IColor(0, 0, 0, 0))));
    if (c.presets)
      fillPresets(control->menu);
    else
      fillNoteValues(control->menu, 10);
    s.ui.click(c.x, c.y);
    const IRECT hover = openPanel(s).ItemRect(c.presets ? 5 : 12);
    s.ui.movePx(hover.MW(), hover.MH());
    s.frame();
    EXPECT_TRUE(s.view.WritePng(picturePath(c.file)));
  }
}
