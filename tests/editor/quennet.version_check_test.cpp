// The online menu's "Check Online for Update" end to end: the plug-in asks a real HTTPS server on
// loopback and answers in the editor's message boxes; the off-screen view records the browser.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "EditorSupport.h"
#include "platform/HttpsTestServer.h"
#include "services/version_check.h"

using namespace editor_test;

namespace {

class EditorVersionCheck : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(TestCertificates::get().ok());
    ASSERT_TRUE(server.running());
    s.plugin->setVersionCheck(std::make_shared<VersionCheck>(
      server.address(), plug::HttpsClient::Settings{TestCertificates::get().caFile, 5'000, 10'000}));
  }

  // Chooses "Check Online for Update"; returns once the answer has been read.
  void check(const std::string& body)
  {
    server.setReply(HttpsTestServer::Reply::ok(body));
    s.ui->click(120, 150);
    ASSERT_TRUE(s.choose(0));
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
    std::vector<std::string> opened;  // so far
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

TEST_F(EditorVersionCheck, ABoxLeftOpenWhenTheEditorClosesOpensNothing)
{
  check("1210");
  ASSERT_NE(s.g().GetMessageBoxPanel(), nullptr);
  s.close();  // the box goes unanswered; its completion must never run
  EXPECT_TRUE(s.view.OpenedURLs().empty());
  s.open();
  EXPECT_EQ(s.g().NMessageBoxes(), 0);
}
