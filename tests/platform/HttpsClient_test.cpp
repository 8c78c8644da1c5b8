// SPDX-License-Identifier: ISC
#include "platform/HttpsClient.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/HttpsTestServer.h"

using plug::HttpsClient;
using plug::HttpsEnd;
using Reply = HttpsTestServer::Reply;

namespace {

const char* endName(HttpsEnd end)
{
  switch (end) {
    case HttpsEnd::kComplete: return "complete";
    case HttpsEnd::kConnect: return "connect";
    case HttpsEnd::kCertificate: return "certificate";
    case HttpsEnd::kTimeout: return "timeout";
    case HttpsEnd::kTooLong: return "too long";
    case HttpsEnd::kBroken: return "broken";
    case HttpsEnd::kCancelled: return "cancelled";
    case HttpsEnd::kOther: return "other";
  }
  return "?";
}

// Trusts the test authority only, with the product's time limits unless told otherwise.
HttpsClient::Settings trustingTestAuthority(long connectTimeoutMs = 10'000, long transferTimeoutMs = 20'000)
{
  return {TestCertificates::get().caFile, connectTimeoutMs, transferTimeoutMs};
}

Reply raw(std::string bytes, Reply::End end)
{
  Reply reply;
  reply.bytes = std::move(bytes);
  reply.end = end;
  return reply;
}

const std::string kHead100 = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

class HttpsClientTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    ASSERT_TRUE(TestCertificates::get().ok()) << "openssl could not make the test certificates";
    ASSERT_TRUE(server.running());
  }
  std::string url() const { return server.address() + "/music/version/?file=quennet"; }

  HttpsTestServer server;
};

} // namespace

TEST_F(HttpsClientTest, SendsAPlainHttp11GetWithTheHostHeaderOnly)
{
  server.setReply(Reply::ok("1103"));
  const auto response = HttpsClient(trustingTestAuthority()).Get(url());

  EXPECT_EQ(endName(response.end), std::string("complete"));
  EXPECT_EQ(response.body, "1103");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            "GET /music/version/?file=quennet HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()));
}

// How an answer ends decides between a clean end and a read error; what arrived is kept either way.
TEST_F(HttpsClientTest, TellsACleanEndFromAReadErrorAndKeepsWhatArrived)
{
  struct Case {
    const char* name;
    Reply reply;
    HttpsEnd end;
    std::string body;
    bool bodyMayBeCut = false; // a reset discards what the client had not yet read
  };
  const std::string full(HttpsClient::kMaxBodyBytes, '7');
  const std::vector<Case> cases = {
    {"content length", Reply::ok("1210\n"), HttpsEnd::kComplete, "1210\n"},
    {"empty body", Reply::ok(""), HttpsEnd::kComplete, ""},
    {"error status is an answer too",
     raw("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", Reply::End::kClose), HttpsEnd::kComplete,
     "not found"},
    {"redirect not followed",
     raw("HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 4\r\n\r\nmove", Reply::End::kClose),
     HttpsEnd::kComplete, "move"},
    {"closed after a body of no length", raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n1103", Reply::End::kClose),
     HttpsEnd::kComplete, "1103"},
    {"chunked", raw(kChunked + "2\r\n11\r\n2\r\n03\r\n0\r\n\r\n", Reply::End::kClose), HttpsEnd::kComplete, "1103"},
    {"exactly the cap", Reply::ok(full), HttpsEnd::kComplete, full},
    {"closed before the announced length", raw(kHead100 + "1103", Reply::End::kClose), HttpsEnd::kBroken, "1103"},
    {"cut before the announced length", raw(kHead100 + "1103", Reply::End::kCut), HttpsEnd::kBroken, "1103"},
    {"reset before the announced length", raw(kHead100 + "1103", Reply::End::kReset), HttpsEnd::kBroken, "1103", true},
    {"cut inside a chunk", raw(kChunked + "8\r\n1103", Reply::End::kCut), HttpsEnd::kBroken, "1103"},
    {"one byte past the cap", Reply::ok(full + "7"), HttpsEnd::kTooLong, full},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.setReply(c.reply);
    const auto response = HttpsClient(trustingTestAuthority()).Get(url());
    EXPECT_EQ(endName(response.end), std::string(endName(c.end)));
    EXPECT_EQ(response.complete(), c.end == HttpsEnd::kComplete);
    if (c.bodyMayBeCut)
      EXPECT_EQ(response.body, c.body.substr(0, response.body.size()));
    else
      EXPECT_EQ(response.body, c.body);
  }
  EXPECT_EQ(server.requests().size(), cases.size()) << "one request per case, no retries";
}

// A server that sends without end costs the client a capped body (or header block) and a
// quick stop, not memory or time without bound.
TEST_F(HttpsClientTest, AFloodStopsAtTheCapAsAReadError)
{
  struct Case {
    const char* name;
    std::string head;
    std::string filler;
    std::size_t bodyBytes;
  };
  const std::size_t flood = 32u << 20;
  const std::vector<Case> cases = {
    {"body", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n", "1103", HttpsClient::kMaxBodyBytes},
    {"headers", "HTTP/1.1 200 OK\r\n", "X-Filler: 0123456789abcdef\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Reply reply;
    reply.bytes = c.head;
    reply.filler = c.filler;
    reply.fillerBytes = flood;
    server.setReply(reply);
    const auto response = HttpsClient(trustingTestAuthority()).Get(url());
    EXPECT_EQ(endName(response.end), std::string("too long"));
    EXPECT_EQ(response.body.size(), c.bodyBytes);
    EXPECT_EQ(response.body.substr(0, 8), c.bodyBytes ? "11031103" : "");
    EXPECT_LT(server.fillerSent(), flood) << "the client must hang up instead of reading on";
  }
}

TEST_F(HttpsClientTest, RefusesServersItCannotTrust)
{
  const auto& certs = TestCertificates::get();
  struct Case {
    const char* name;
    std::string cert, key;
    std::string caFile;
  };
  const std::vector<Case> cases = {
    {"self-signed", certs.selfSignedCert, certs.selfSignedKey, certs.caFile},
    {"signed for another name", certs.otherNameCert, certs.otherNameKey, certs.caFile},
    {"test authority unknown to the system's store", certs.serverCert, certs.serverKey, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpsTestServer other(c.cert, c.key);
    ASSERT_TRUE(other.running());
    other.setReply(Reply::ok("1103"));
    const auto response = HttpsClient({c.caFile}).Get(other.address() + "/music/version/?file=quennet");
    EXPECT_EQ(endName(response.end), std::string("certificate"));
    EXPECT_EQ(response.body, "");
    EXPECT_TRUE(other.requests().empty()) << "nothing may be sent to an untrusted server";
  }
}

TEST_F(HttpsClientTest, ConnectionRefusedGivesNoBody)
{
  // A bound socket that does not listen: connecting to its port is refused.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);

  const auto response =
    HttpsClient(trustingTestAuthority()).Get("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
  close(fd);
  EXPECT_EQ(endName(response.end), std::string("connect"));
  EXPECT_EQ(response.body, "");
}

// The limit that matters in each case is shortened (the product's are 10 s and 20 s); the other
// one stays long, so only the first can end the wait.
TEST_F(HttpsClientTest, ASilentServerEndsInATimeOut)
{
  struct Case {
    const char* name;
    Reply reply;
    long connectTimeoutMs, transferTimeoutMs;
    bool requestArrives;
    std::string body;
  };
  Reply noHandshake;
  noHandshake.handshake = false;
  const std::vector<Case> cases = {
    {"no handshake", noHandshake, 400, 20'000, false, ""},
    {"no answer", raw("", Reply::End::kHold), 10'000, 1000, true, ""},
    {"silent in the middle of the body", raw(kHead100 + "1103", Reply::End::kHold), 10'000, 1000, true, "1103"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = server.requests().size();
    server.setReply(c.reply);
    const auto response = HttpsClient(trustingTestAuthority(c.connectTimeoutMs, c.transferTimeoutMs)).Get(url());
    EXPECT_EQ(endName(response.end), std::string("timeout"));
    EXPECT_EQ(response.body, c.body);
    EXPECT_EQ(server.requests().size() - before, c.requestArrives ? 1u : 0u);
  }
}

// A caller that gives up (an editor closing, a plug-in going) ends a wait with the product's long
// time limits: at the first progress report once its flag is set.
TEST_F(HttpsClientTest, ACancelEndsTheWaitForASilentServer)
{
  server.setReply(raw("", Reply::End::kHold));
  std::atomic<bool> cancel{true};
  auto response = HttpsClient(trustingTestAuthority()).Get(url(), &cancel);
  EXPECT_EQ(endName(response.end), std::string("cancelled")) << "cancelled before it started";
  EXPECT_EQ(response.body, "");

  // Cancelled by another thread once the server has the request and stays silent.
  cancel = false;
  const std::size_t before = server.requests().size();
  std::thread canceller([&] {
    while (server.requests().size() == before)
      std::this_thread::yield();
    cancel = true;
  });
  response = HttpsClient(trustingTestAuthority()).Get(url(), &cancel);
  canceller.join();
  EXPECT_EQ(endName(response.end), std::string("cancelled"));
  EXPECT_EQ(server.requests().size() - before, 1u);
}

TEST_F(HttpsClientTest, FetchesOnlyHttpsAddresses)
{
  server.setReply(Reply::ok("1103"));
  for (const std::string& url : {"http://127.0.0.1:" + std::to_string(server.port()) + "/",
                                 std::string("file:///etc/hostname"), std::string("not an address")}) {
    SCOPED_TRACE(url);
    const auto response = HttpsClient(trustingTestAuthority()).Get(url);
    EXPECT_EQ(endName(response.end), std::string("other"));
    EXPECT_EQ(response.body, "");
  }
  EXPECT_TRUE(server.requests().empty());
}
