// SPDX-License-Identifier: ISC
// The online menu's "Check Online for Update" end to end: the plug-in asks a real HTTPS server on
// loopback, on a thread of its own, and answers in the editor's message boxes at the idle tick that
// finds the answer; the off-screen view records the browser. The user-interface thread never waits.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EditorSupport.h"
#include "platform/HttpsTestServer.h"
#include "services/version_check.h"

using namespace quennet;

using namespace editor_test;

namespace {

class EditorVersionCheck : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(TestCertificates::get().ok());
    ASSERT_TRUE(server.running());
    useTimeLimits(5'000, 10'000);
  }

  void useTimeLimits(long connectMs, long transferMs)
  {
    editorOf(*s.plugin).setVersionCheck(std::make_shared<VersionCheck>(
      server.address(), plug::HttpsClient::Settings{TestCertificates::get().caFile, connectMs, transferMs}));
  }

  // Chooses "Check Online for Update"; the menu returns at once.
  void choose(const HttpsTestServer::Reply& reply)
  {
    server.setReply(reply);
    s.ui->click(120, 150);
    ASSERT_TRUE(s.choose(0));
    EXPECT_EQ(s.g().GetPopupMenuPanel(), nullptr) << "the menu has closed";
  }

  // The host's idle calls, as many as it takes for the check to end (at most `seconds`): each runs
  // the plug-in's timer and the editor's frame. The number of ticks, or -1 when it did not end.
  int tickUntilTheCheckEnds(double seconds = 30.0)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int ticks = 0;
    while (editorOf(*s.plugin).versionCheckRunning()) {
      if (std::chrono::steady_clock::now() > deadline)
        return -1;
      s.tick();
      ++ticks;
      std::this_thread::sleep_for(std::chrono::milliseconds(2)); // a host's idle rate, roughly
    }
    return ticks;
  }

  // Chooses "Check Online for Update" and ticks until its answer shows.
  void check(const std::string& body)
  {
    choose(HttpsTestServer::Reply::ok(body));
    ASSERT_GE(tickUntilTheCheckEnds(), 0) << "the check did not end";
  }

  // Clicks the button of the box on show.
  void answer(const char* label)
  {
    const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
    ASSERT_NE(box, nullptr);
    for (int i = 0; i < box->NButtons(); ++i)
      if (std::string(box->ButtonLabel(i)) == label) {
        const IRECT r = box->ButtonRect(i);
        s.ui->clickPx(r.MW(), r.MH());
        return;
      }
    FAIL() << "no button " << label;
  }

  HttpsTestServer server;
  EditorScreen s;
};

} // namespace

TEST_F(EditorVersionCheck, ANewerReleaseOffersTheDownloadPage)
{
  struct Case {
    const char* answer;
    std::vector<std::string> opened; // so far
  };
  const Case cases[] = {
    {"No", {}},
    {"Yes", {"http://tarnwellmusic.example/music/vst.html"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    check("1103");
    const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->GetCaption(), "New Version of Quennet Detected");
    EXPECT_NE(box->GetText().find("\tNew version: \t1.1.3\n"), std::string::npos) << box->GetText();
    EXPECT_EQ(box->GetType(), EMsgBoxType::kYesNo);
    EXPECT_TRUE(box->AllLinesShown());
    EXPECT_TRUE(s.view.OpenedURLs().empty()) << "nothing before the answer";
    s.tick();
    std::filesystem::create_directories(QUENNET_TEST_PICTURES);
    s.view.WritePng(std::string(QUENNET_TEST_PICTURES) + "/box-new-version.png");
    answer(c.answer);
    EXPECT_EQ(s.view.OpenedURLs(), c.opened);
    EXPECT_EQ(s.g().NMessageBoxes(), 0);
  }
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[0].rfind("GET /music/version/?file=quennet HTTP/1.1\r\n", 0), 0u);
}

TEST_F(EditorVersionCheck, UpToDateSaysSo)
{
  check("1102");
  const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->GetCaption(), "Check Online for Update");
  EXPECT_EQ(box->GetText(), "Your version is up to date.");
  answer("OK");
  EXPECT_TRUE(s.view.OpenedURLs().empty());
}

// A service that never answers: the editor goes on with its idle ticks and frames all the while (a
// host's change shows on its knob), and the box comes when the time limit ends.
TEST_F(EditorVersionCheck, ASilentServerLeavesTheEditorWorkingUntilTheTimeLimitBringsTheBox)
{
  useTimeLimits(5'000, 3'000);
  HttpsTestServer::Reply silent;
  silent.end = HttpsTestServer::Reply::End::kHold;
  choose(silent);
  EXPECT_EQ(s.g().NMessageBoxes(), 0) << "no box before the answer";

  // The Volume knob's pixels, every fourth design unit.
  auto knob = [&] {
    std::vector<IColor> pixels;
    for (float y = 332; y < 452; y += 4)
      for (float x = 60; x < 180; x += 4)
        pixels.push_back(s.at(x, y));
    return pixels;
  };
  const std::vector<IColor> before = knob();
  s.plugin->SetParameterFromHost(kVolume, 1.0);
  s.tick();
  EXPECT_TRUE(editorOf(*s.plugin).versionCheckRunning()) << "the request still waits for the server";
  EXPECT_DOUBLE_EQ(s.find<ITWKnobControl>(kVolume)->GetValue(), 1.0) << "the host's change reached the knob";
  EXPECT_NE(knob(), before) << "and the knob was drawn again";

  ASSERT_GT(tickUntilTheCheckEnds(), 0);
  const MessageBoxPanel* box = s.g().GetMessageBoxPanel();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->GetCaption(), "Check Online for Update");
  EXPECT_EQ(box->GetText(), "An error occurred while contacting tarnwellmusic.example.");
  EXPECT_EQ(server.requests().size(), 1u);
}

// The editor closes while the request waits: the answer is dropped, and the next editor shows no box.
TEST_F(EditorVersionCheck, AnAnswerForAnEditorThatClosedIsDropped)
{
  useTimeLimits(5'000, 2'000);
  HttpsTestServer::Reply silent;
  silent.end = HttpsTestServer::Reply::End::kHold;
  choose(silent);
  s.close();
  s.open();
  ASSERT_GE(tickUntilTheCheckEnds(), 0);
  s.tick();
  EXPECT_EQ(s.g().NMessageBoxes(), 0);

  // A plug-in that goes while a check waits cancels the request and ends its thread.
  choose(silent);
  s.close();
  s.plugin.reset();
}

TEST_F(EditorVersionCheck, ABoxLeftOpenWhenTheEditorClosesOpensNothing)
{
  check("1210");
  ASSERT_NE(s.g().GetMessageBoxPanel(), nullptr);
  s.close(); // the box goes unanswered; its completion must never run
  EXPECT_TRUE(s.view.OpenedURLs().empty());
  s.open();
  EXPECT_EQ(s.g().NMessageBoxes(), 0);
}
