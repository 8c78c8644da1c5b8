// SPDX-License-Identifier: ISC
#include "HttpsTestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "Files.h"
#include "TempDir.h"

// ---- certificates -------------------------------------------------------------------------------

namespace {

constexpr const char* kOpensslConfig = R"([req]
distinguished_name = dn
prompt = no
[dn]
CN = Quennet Test Authority
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[loopback]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1, DNS:localhost
[othername]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
)";

bool run(const std::string& command)
{
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TestCertificates makeCertificates(const TempDir& dir)
{
  const std::string config = dir.file("openssl.cnf");
  writeFile(config, kOpensslConfig);
  const std::string newKey = " -config " + config + " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30";
  const auto signedBy = [&](const std::string& name, const std::string& extensions, int serial) {
    return run("openssl req -new" + newKey + " -subj /CN=" + name + " -keyout " + dir.file(name + ".key") + " -out " +
               dir.file(name + ".csr")) &&
      run("openssl x509 -req -in " + dir.file(name + ".csr") + " -CA " + dir.file("authority.crt") + " -CAkey " +
          dir.file("authority.key") + " -set_serial " + std::to_string(serial) + " -days 30 -extfile " + config +
          " -extensions " + extensions + " -out " + dir.file(name + ".crt"));
  };
  const bool ok = run("openssl req -x509 -new" + newKey + " -extensions authority -keyout " +
                      dir.file("authority.key") + " -out " + dir.file("authority.crt")) &&
    signedBy("loopback", "loopback", 2) && signedBy("othername", "othername", 3) &&
    run("openssl req -x509 -new" + newKey + " -extensions loopback -subj /CN=selfsigned -keyout " +
        dir.file("selfsigned.key") + " -out " + dir.file("selfsigned.crt"));
  if (!ok)
    return {};
  return {dir.file("authority.crt"), dir.file("loopback.crt"),   dir.file("loopback.key"),  dir.file("othername.crt"),
          dir.file("othername.key"), dir.file("selfsigned.crt"), dir.file("selfsigned.key")};
}

} // namespace

const TestCertificates& TestCertificates::get()
{
  static const TempDir dir("quennet-certs");
  static const TestCertificates certificates = makeCertificates(dir);
  return certificates;
}

// ---- server -------------------------------------------------------------------------------------

struct HttpsTestServer::Tls {
  SSL_CTX* context = nullptr;
  ~Tls() { SSL_CTX_free(context); }
};

HttpsTestServer::Reply HttpsTestServer::Reply::ok(const std::string& body)
{
  Reply reply;
  reply.bytes = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
    "\r\nConnection: close\r\n\r\n" + body;
  return reply;
}

HttpsTestServer::HttpsTestServer()
    : HttpsTestServer(TestCertificates::get().serverCert, TestCertificates::get().serverKey)
{
}

HttpsTestServer::HttpsTestServer(const std::string& certFile, const std::string& keyFile) : mTls(new Tls)
{
  // A client that leaves while we write must not end the test process.
  signal(SIGPIPE, SIG_IGN);

  mTls->context = SSL_CTX_new(TLS_server_method());
  if (!mTls->context || SSL_CTX_use_certificate_chain_file(mTls->context, certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(mTls->context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    return;

  mListenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (mListenFd < 0 || bind(mListenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(mListenFd, 8) != 0 || getsockname(mListenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  mPort = ntohs(address.sin_port);

  mWakeFd = eventfd(0, EFD_CLOEXEC);
  if (mWakeFd < 0)
    return;
  mThread = std::thread([this] { serve(); });
}

HttpsTestServer::~HttpsTestServer()
{
  if (mThread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(mWakeFd, &one, sizeof one);
    mThread.join();
  }
  if (mWakeFd >= 0)
    close(mWakeFd);
  if (mListenFd >= 0)
    close(mListenFd);
}

std::string HttpsTestServer::address() const
{
  return "https://127.0.0.1:" + std::to_string(mPort);
}

void HttpsTestServer::setReply(Reply reply)
{
  std::lock_guard lock(mMutex);
  mReply = std::move(reply);
}

std::vector<std::string> HttpsTestServer::requests() const
{
  std::lock_guard lock(mMutex);
  return mRequests;
}

std::size_t HttpsTestServer::fillerSent() const
{
  std::lock_guard lock(mMutex);
  return mFillerSent;
}

void HttpsTestServer::serve()
{
  for (;;) {
    pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
      return;
    const int fd = accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    // No single read or write may hang the server for good.
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    serveConnection(fd);
    close(fd);
  }
}

void HttpsTestServer::serveConnection(int fd)
{
  Reply reply;
  {
    std::lock_guard lock(mMutex);
    reply = mReply;
    mFillerSent = 0;
  }
  if (!reply.handshake) {
    waitForClient(fd);
    return;
  }

  SSL* ssl = SSL_new(mTls->context);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) != 1) { // the client may rightly refuse our certificate
    SSL_free(ssl);
    ERR_clear_error();
    return;
  }

  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 16384) {
    const int got = SSL_read(ssl, buffer, sizeof buffer);
    if (got <= 0)
      break;
    head.append(buffer, static_cast<std::size_t>(got));
  }
  if (head.empty()) { // the client left without asking, e.g. after checking our certificate
    SSL_free(ssl);
    ERR_clear_error();
    return;
  }
  {
    std::lock_guard lock(mMutex);
    mRequests.push_back(head.substr(0, head.find("\r\n\r\n")));
  }

  bool writing = reply.bytes.empty() || SSL_write(ssl, reply.bytes.data(), static_cast<int>(reply.bytes.size())) > 0;
  if (!reply.filler.empty()) {
    std::string block;
    while (block.size() < 16384)
      block += reply.filler;
    std::size_t sent = 0;
    while (writing && sent < reply.fillerBytes) {
      const std::size_t count = std::min(block.size(), reply.fillerBytes - sent);
      writing = SSL_write(ssl, block.data(), static_cast<int>(count)) > 0;
      if (writing) {
        sent += count;
        std::lock_guard lock(mMutex);
        mFillerSent = sent;
      }
    }
  }

  switch (reply.end) {
    case Reply::End::kClose:
      if (writing)
        SSL_shutdown(ssl);
      break;
    case Reply::End::kCut: break;
    case Reply::End::kReset: {
      const linger abort{1, 0}; // close() then sends RST
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      break;
    }
    case Reply::End::kHold: waitForClient(fd); break;
  }
  SSL_free(ssl);
  ERR_clear_error();
}

void HttpsTestServer::waitForClient(int fd) const
{
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
      return;
    if (recv(fd, buffer, sizeof buffer, 0) <= 0)
      return; // the client closed (or reset) the connection
  }
}
