// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Certificates for tests, made once per test process with openssl's command-line tool in a
// temporary folder that lives until the process ends. Every file name is empty when making them
// failed.
struct TestCertificates {
  std::string caFile; // the test authority: what clients are told to trust
  std::string serverCert, serverKey; // for 127.0.0.1 and localhost, signed by the authority
  std::string otherNameCert, otherNameKey; // signed by the authority, but for other.invalid
  std::string selfSignedCert, selfSignedKey; // for 127.0.0.1, signed by nobody trusted

  static const TestCertificates& get();
  bool ok() const { return !caFile.empty(); }
};

// A real HTTPS server on 127.0.0.1 (an ephemeral port) on OpenSSL, serving one connection at a
// time on a thread of its own, each with the reply set last. Replies are raw bytes, so a test can
// send any answer, cut it short, reset the connection, flood the client or stay silent.
class HttpsTestServer {
public:
  struct Reply {
    enum class End {
      kClose, // a TLS close_notify, then the connection is closed
      kCut, // the connection is closed without close_notify
      kReset, // the connection is reset (TCP RST)
      kHold, // nothing more is sent; waits until the client goes away
    };
    bool handshake = true; // false: accept the TCP connection only, then wait like kHold
    std::string bytes; // sent as they stand once the request head has arrived
    std::string filler; // then repeated until fillerBytes went out or the client left
    std::size_t fillerBytes = 0;
    End end = End::kClose;

    // "200 OK" with a Content-Length, the body, then a clean close.
    static Reply ok(const std::string& body);
  };

  // Serves with the given certificate and key (PEM files); the default is the authority-signed
  // certificate for 127.0.0.1.
  HttpsTestServer();
  HttpsTestServer(const std::string& certFile, const std::string& keyFile);
  ~HttpsTestServer();
  HttpsTestServer(const HttpsTestServer&) = delete;
  HttpsTestServer& operator=(const HttpsTestServer&) = delete;

  // False when the certificate did not load or no port could be opened.
  bool running() const { return mThread.joinable(); }
  int port() const { return mPort; }
  std::string address() const; // "https://127.0.0.1:<port>"

  // For the connections accepted from now on.
  void setReply(Reply reply);
  // The request heads received so far (request line and headers, up to the blank line).
  std::vector<std::string> requests() const;
  // Bytes of filler that went out on the last connection (what the client took in, or more).
  std::size_t fillerSent() const;

private:
  struct Tls;

  void serve();
  void serveConnection(int fd);
  // Waits until the client closes the connection, or the server stops.
  void waitForClient(int fd) const;

  std::unique_ptr<Tls> mTls;
  int mListenFd = -1;
  int mWakeFd = -1; // eventfd: becomes readable when the server stops
  int mPort = 0;
  mutable std::mutex mMutex;
  Reply mReply;
  std::vector<std::string> mRequests;
  std::size_t mFillerSent = 0;
  std::thread mThread;
};
