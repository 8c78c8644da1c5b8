// SPDX-License-Identifier: ISC
#include "services/version_check.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/HttpsTestServer.h"

using namespace quennet;

using Answer = VersionCheckUI::Answer;
using BoxType = VersionCheckUI::BoxType;
using Reply = HttpsTestServer::Reply;

namespace {

// Stands in for the editor: boxes wait in a queue and show one at a time, as the editor's do;
// the test answers the box on show. Everything shown, answered and opened goes into one log.
class RecordingUI : public VersionCheckUI {
public:
  std::vector<std::string> asked; // every box as "type | caption | text", in the order asked for
  std::vector<std::string> log; // "shown: <caption>", "opened: <url>"

  void showMessageBox(const std::string& text, const std::string& caption, BoxType type, Completion completion) override
  {
    asked.push_back(describe(type, caption, text));
    mQueue.push_back({caption, std::move(completion)});
    if (mQueue.size() == 1)
      log.push_back("shown: " + caption);
  }
  void openUrl(const std::string& url) override { log.push_back("opened: " + url); }

  // Answers the box on show; the next one in the queue shows.
  void answer(Answer answer)
  {
    ASSERT_FALSE(mQueue.empty()) << "no box to answer";
    Box box = std::move(mQueue.front());
    mQueue.pop_front();
    if (box.completion)
      box.completion(answer);
    if (!mQueue.empty())
      log.push_back("shown: " + mQueue.front().caption);
  }
  std::size_t waiting() const { return mQueue.size(); }

  static std::string describe(BoxType type, const std::string& caption, const std::string& text)
  {
    return std::string(type == BoxType::kOK ? "OK" : "Yes/No") + " | " + caption + " | " + text;
  }

private:
  struct Box {
    std::string caption;
    Completion completion;
  };
  std::deque<Box> mQueue;
};

// The boxes the user can see, written out in full.
const std::string kUpToDate = "OK | Check Online for Update | Your version is up to date.";
const std::string kInvalid = "OK | Check Online for Update | Invalid call to tarnwellmusic.example.";
const std::string kError = "OK | Check Online for Update | An error occurred while contacting tarnwellmusic.example.";
std::string newVersion(const std::string& version)
{
  return "Yes/No | New Version of Quennet Detected | A new version of Quennet is available.\n\n"
         "\tYour version: \t1.1.2\n"
         "\tNew version: \t" +
    version +
    "\n"
    "\nDo you want to go to https://tarnwellmusic.example to get the new version?";
}
const std::string kDownloadPage = "http://tarnwellmusic.example/music/vst.html";

const std::string kHead100 = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";

Reply raw(std::string bytes, Reply::End end)
{
  Reply reply;
  reply.bytes = std::move(bytes);
  reply.end = end;
  return reply;
}

plug::HttpsClient::Settings trustingTestAuthority(long connectTimeoutMs = 10'000, long transferTimeoutMs = 20'000)
{
  return {TestCertificates::get().caFile, connectTimeoutMs, transferTimeoutMs};
}

class VersionCheckTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(TestCertificates::get().ok()) << "openssl could not make the test certificates";
    ASSERT_TRUE(server.running());
  }
  VersionCheck check(const plug::HttpsClient::Settings& settings = trustingTestAuthority()) const
  {
    return VersionCheck(server.address(), settings);
  }

  HttpsTestServer server;
};

} // namespace

TEST_F(VersionCheckTest, AsksTheMakersServiceWithAPlainGet)
{
  EXPECT_EQ(VersionCheck().serviceUrl(), "https://tarnwellmusic.example/music/version/?file=quennet");

  server.setReply(Reply::ok("1102"));
  RecordingUI ui;
  EXPECT_EQ(check().checkVersionAgainstWeb(ui), 0);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            "GET /music/version/?file=quennet HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()));
}

// Answers that arrive whole: one box each, and no error box.
TEST_F(VersionCheckTest, ReportsEachAnswer)
{
  struct Case {
    const char* body;
    int status;
    std::string box;
  };
  const std::vector<Case> cases = {
    {"1102", 0, kUpToDate},
    {"no number", 0, kUpToDate},
    {"1000", 0, kUpToDate},
    {"-5000", 0, kUpToDate},
    {"1103", 0, newVersion("1.1.3")},
    {"1210", 0, newVersion("1.2.10")},
    {"2000", 0, newVersion("2.0.0")},
    {"1110", 0, newVersion("1.1.10")},
    // What follows the number stays in the version text.
    {"1103\n", 0, newVersion("1.1.3\n")},
    // Beyond the range of int: still a number above ours.
    {"99999999999999999999", 0, newVersion("9.9.999999999999999999")},
    // A '<' anywhere makes it a web page, not an answer, whatever number comes first.
    {"1210 <html><body>Quennet</body></html>", -3, kInvalid},
    {"<!DOCTYPE html><html><body>404 Not Found</body></html>", -3, kInvalid},
    {"1102\n<", -3, kInvalid},
    {"", -1, kError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    server.setReply(Reply::ok(c.body));
    RecordingUI ui;
    EXPECT_EQ(check().checkVersionAgainstWeb(ui), c.status);
    EXPECT_EQ(ui.asked, std::vector<std::string>{c.box});
  }
}

// A read error after some data: the result for what arrived, then the error box; the status
// tells the read error. Without data only the error box shows.
TEST_F(VersionCheckTest, ReportsReadErrorsAfterTheResult)
{
  struct Case {
    const char* name;
    Reply reply;
    int status;
    std::vector<std::string> boxes;
    long connectTimeoutMs = 10'000, transferTimeoutMs = 20'000;
  };
  Reply flood; // megabytes of an answer that never ends
  flood.bytes = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n1102";
  flood.filler = " ";
  flood.fillerBytes = 16u << 20;
  Reply noHandshake;
  noHandshake.handshake = false;
  const std::vector<Case> cases = {
    {"stops in the middle of a new version",
     raw(kHead100 + "1103", Reply::End::kCut),
     -5,
     {newVersion("1.1.3"), kError}},
    {"stops in the middle of an old version", raw(kHead100 + "1102", Reply::End::kCut), -5, {kUpToDate, kError}},
    {"stops in the middle of a web page", raw(kHead100 + "1103 <ht", Reply::End::kCut), -3, {kInvalid}},
    {"sends megabytes", flood, -5, {kUpToDate, kError}},
    {"falls silent after a number",
     raw(kHead100 + "1210", Reply::End::kHold),
     -5,
     {newVersion("1.2.10"), kError},
     10'000,
     1000},
    {"never answers", raw("", Reply::End::kHold), -1, {kError}, 10'000, 1000},
    {"never shakes hands", noHandshake, -1, {kError}, 400, 20'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.setReply(c.reply);
    RecordingUI ui;
    EXPECT_EQ(check(trustingTestAuthority(c.connectTimeoutMs, c.transferTimeoutMs)).checkVersionAgainstWeb(ui),
              c.status);
    EXPECT_EQ(ui.asked, c.boxes);
  }
}

TEST_F(VersionCheckTest, AnAnswerCutAtItsCapKeepsTheWholeCappedBodyInTheText)
{
  Reply flood;
  flood.bytes = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n1103";
  flood.filler = "x";
  flood.fillerBytes = 16u << 20;
  server.setReply(flood);
  RecordingUI ui;
  EXPECT_EQ(check().checkVersionAgainstWeb(ui), -5);
  ASSERT_EQ(ui.asked.size(), 2u);
  // 64 KiB of body: "1103" and 65532 times "x", all of it after "1.1.3".
  EXPECT_EQ(ui.asked[0], newVersion("1.1.3" + std::string(64 * 1024 - 4, 'x')));
  EXPECT_EQ(ui.asked[1], kError);
}

TEST_F(VersionCheckTest, NoConnectionOrAnUntrustedServerGivesTheErrorBox)
{
  const auto& certs = TestCertificates::get();
  HttpsTestServer untrusted(certs.selfSignedCert, certs.selfSignedKey);
  ASSERT_TRUE(untrusted.running());
  untrusted.setReply(Reply::ok("1103"));

  // A bound socket that does not listen: connecting to its port is refused.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);

  struct Case {
    const char* name;
    std::string address;
  };
  const std::vector<Case> cases = {
    {"connection refused", "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port))},
    {"untrusted certificate", untrusted.address()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingUI ui;
    EXPECT_EQ(VersionCheck(c.address, trustingTestAuthority()).checkVersionAgainstWeb(ui), -1);
    EXPECT_EQ(ui.asked, std::vector<std::string>{kError});
  }
  close(fd);
  EXPECT_TRUE(untrusted.requests().empty());
}

// The boxes answer after the check has returned; only "Yes" opens the download page, and the
// error box after a new version shows once the first box is answered.
TEST_F(VersionCheckTest, OnlyYesOpensTheDownloadPage)
{
  struct Case {
    const char* name;
    Reply reply;
    Answer answer;
    int status;
    std::vector<std::string> log;
  };
  const std::string caption = "New Version of Quennet Detected";
  const std::vector<Case> cases = {
    {"yes", Reply::ok("1103"), Answer::kYes, 0, {"shown: " + caption, "opened: " + kDownloadPage}},
    {"no", Reply::ok("1103"), Answer::kNo, 0, {"shown: " + caption}},
    {"closed unanswered", Reply::ok("1103"), Answer::kCancel, 0, {"shown: " + caption}},
    {"yes, then the error box",
     raw(kHead100 + "1103", Reply::End::kCut),
     Answer::kYes,
     -5,
     {"shown: " + caption, "opened: " + kDownloadPage, "shown: Check Online for Update"}},
    {"no, then the error box",
     raw(kHead100 + "1103", Reply::End::kCut),
     Answer::kNo,
     -5,
     {"shown: " + caption, "shown: Check Online for Update"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.setReply(c.reply);
    RecordingUI ui;
    const int status = check().checkVersionAgainstWeb(ui);
    EXPECT_EQ(ui.log, std::vector<std::string>{"shown: " + caption}) << "nothing opens before the answer";
    ui.answer(c.answer);
    while (ui.waiting() > 0)
      ui.answer(Answer::kOK);
    EXPECT_EQ(ui.log, c.log);
    EXPECT_EQ(status, c.status);
  }
}
