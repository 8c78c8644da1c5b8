// SPDX-License-Identifier: ISC
// Opening and closing an editor with a small plug-in of its own: a new context each time, the last
// size and scale carried over, the layout run once the window is open, the plug-in attached after
// it, and on closing the plug-in's hook while the controls still exist.

#include "graphics/EditorWindow.h"

#include <gtest/gtest.h>

#include "GraphicsTestSupport.h"
#include "graphics/IKnobControl.h"
#include "base/RunLoop.h"

using namespace gtest_graphics;

namespace {

// Tells when it is destroyed.
class Knob : public IBKnobControl {
public:
  Knob(float x, float y, int param, bool& destroyed)
      : IBKnobControl(x, y, IBitmap::Placeholder("knob", 65, false), param), mDestroyed(destroyed)
  {
  }
  ~Knob() override { mDestroyed = true; }

private:
  bool& mDestroyed;
};

// The plug-in side of an editor, as a plug-in's constructor would set it up: the factory makes a
// 984 × 432 context at scale 1 and installs the layout, which lays out a 1968 × 864 design at the
// preferred scale and keeps a reference to a knob; the close hook drops it.
class EditorPlugin {
public:
  explicit EditorPlugin(TestPlugin& p) : plugin(p)
  {
    SetMakeGraphicsFunc(plugin, [this] {
      ++made;
      auto g = MakeGraphics(plugin, 984, 432, 60, 1.0f);
      g->SetAssetFolder(QUENNET_TEST_RESOURCES);
      createGraphics();
      return g;
    });
  }

  void createGraphics()
  {
    SetLayoutFunc(plugin, [this](IGraphics* g) {
      scaleBeforeLayout = g->GetDrawScale();
      openDuringLayout = g->WindowIsOpen();
      attachedDuringLayout = plugin.GetEditor() != nullptr;
      g->SetScaleConstraints(0.25f, 4.0f);
      g->Resize(1968, 864, preferredScale, true);
      knobDestroyed = false;
      knob = static_cast<Knob*>(g->AttachControl(new Knob(100, 100, TestPlugin::kLevel, knobDestroyed)));
    });
  }

  TestPlugin& plugin;
  float preferredScale = 0.5f;
  int made = 0;
  float scaleBeforeLayout = 0.0f;
  bool openDuringLayout = false;
  bool attachedDuringLayout = true;
  Knob* knob = nullptr;
  bool knobDestroyed = false;
};

} // namespace

TEST(EditorWindow, WithoutAFactoryThereIsNoEditor)
{
  TestPlugin plugin;
  plug::OffscreenView view;
  EXPECT_EQ(EditorWindow::Open(plugin, view), nullptr);
  SetMakeGraphicsFunc(plugin, [] { return std::unique_ptr<IGraphics>(); });
  EXPECT_EQ(EditorWindow::Open(plugin, view), nullptr);
  EXPECT_EQ(plugin.GetEditor(), nullptr);
}

TEST(EditorWindow, OpeningLaysOutAnOpenWindowThenAttachesIt)
{
  TestPlugin plugin;
  EditorPlugin editor(plugin);
  plug::OffscreenView view;
  const int timersBefore = plug::RunLoop::Main().NumTimers();

  auto window = EditorWindow::Open(plugin, view);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(editor.made, 1);
  EXPECT_TRUE(editor.openDuringLayout) << "the window counts as open when the layout runs";
  EXPECT_FALSE(editor.attachedDuringLayout) << "the plug-in attaches the editor after the layout";
  EXPECT_FLOAT_EQ(editor.scaleBeforeLayout, 1.0f);
  EXPECT_EQ(plugin.GetEditor(), &window->Graphics());
  EXPECT_TRUE(plugin.HasOpenEditor());
  EXPECT_EQ(view.Width(), 984);
  EXPECT_EQ(view.Height(), 432);
  EXPECT_FALSE(view.Presented().empty()) << "the first frame is drawn at once";
  EXPECT_EQ(plug::RunLoop::Main().NumTimers(), timersBefore + 1) << "the frame timer";

  // Edits in the window reach the plug-in, and the plug-in's values reach the window.
  window->Graphics().OnMouseDown(55, 55, IMouseMod(true), 0.0);
  window->Graphics().OnMouseMove(55, 45, IMouseMod(true));
  window->Graphics().OnMouseUp(55, 45, IMouseMod(true));
  EXPECT_NEAR(plugin.GetParam(TestPlugin::kLevel)->GetNormalized(), 0.25 * 20.0 / 48.0, 1e-9);
  plugin.SendParameterValueFromDelegate(TestPlugin::kLevel, 10.0, false);
  EXPECT_DOUBLE_EQ(editor.knob->GetValue(), 1.0);

  window.reset();
  EXPECT_EQ(plug::RunLoop::Main().NumTimers(), timersBefore);
}

TEST(EditorWindow, ClosingDetachesCallsTheHookWhileControlsExistThenDestroysThem)
{
  struct HookPlugin : TestPlugin {
    void OnEditorClose() override
    {
      attachedAtClose = GetEditor() != nullptr;
      if (knob) {
        valueAtClose = (*knob)->GetValue(); // the control still exists
        knobAliveAtClose = !*destroyed;
        *knob = nullptr;
      }
    }
    Knob** knob = nullptr;
    bool* destroyed = nullptr;
    bool attachedAtClose = true;
    bool knobAliveAtClose = false;
    double valueAtClose = -1.0;
  };
  HookPlugin plugin;
  EditorPlugin editor(plugin);
  plugin.knob = &editor.knob;
  plugin.destroyed = &editor.knobDestroyed;
  plug::OffscreenView view;

  auto window = EditorWindow::Open(plugin, view);
  editor.knob->SetValue(0.4);
  window.reset();

  EXPECT_FALSE(plugin.attachedAtClose);
  EXPECT_TRUE(plugin.knobAliveAtClose);
  EXPECT_DOUBLE_EQ(plugin.valueAtClose, 0.4);
  EXPECT_EQ(editor.knob, nullptr);
  EXPECT_TRUE(editor.knobDestroyed);
  EXPECT_EQ(plugin.GetEditor(), nullptr);
  EXPECT_FALSE(plugin.HasOpenEditor());

  // With the editor closed, the plug-in's updates go nowhere.
  plugin.SendParameterValueFromDelegate(TestPlugin::kLevel, 5.0, false);
}

TEST(EditorWindow, TheNextEditorGetsTheLastSizeAndScaleBeforeItsLayout)
{
  TestPlugin plugin;
  EditorPlugin editor(plugin);
  plug::OffscreenView view;

  auto window = EditorWindow::Open(plugin, view);
  EXPECT_FLOAT_EQ(window->Graphics().GetDrawScale(), 0.5f) << "the layout's preferred scale";
  window->Graphics().Resize(1968, 864, 0.75f, true); // as a corner drag would
  window.reset();
  EXPECT_FLOAT_EQ(plugin.GetLastEditorSize().scale, 0.75f);
  EXPECT_EQ(plugin.GetLastEditorSize().width, 1968);

  window = EditorWindow::Open(plugin, view);
  EXPECT_EQ(editor.made, 2) << "a new context for every opening";
  EXPECT_FLOAT_EQ(editor.scaleBeforeLayout, 0.75f);
  EXPECT_FLOAT_EQ(window->Graphics().GetDrawScale(), 0.5f) << "then the layout sets the preferred scale";
  EXPECT_EQ(view.Width(), 984);
}

TEST(EditorWindow, ClosingAnOlderWindowLeavesTheNewerOneAttached)
{
  TestPlugin plugin;
  EditorPlugin editor(plugin);
  plug::OffscreenView first;
  plug::OffscreenView second;
  auto older = EditorWindow::Open(plugin, first);
  auto newer = EditorWindow::Open(plugin, second);
  older.reset();
  EXPECT_EQ(plugin.GetEditor(), &newer->Graphics());
}
