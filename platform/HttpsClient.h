// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace plug {

// How a transfer ended.
enum class HttpsEnd {
  kComplete, // the whole answer arrived and the connection ended cleanly
  kConnect, // no connection: refused, unresolved name, failed TLS handshake
  kCertificate, // the server's certificate is not trusted or does not name the host
  kTimeout, // the connection or the whole transfer took too long
  kTooLong, // the answer's body or headers passed their cap
  kBroken, // the answer stopped early: reset, or closed before its announced end
  kCancelled, // the caller's cancel flag ended it
  kOther, // anything else (bad address, out of memory, ...)
};

struct HttpsResponse {
  std::string body; // what arrived of the body, at most HttpsClient::kMaxBodyBytes
  HttpsEnd end = HttpsEnd::kOther;

  // The body was read to its end; anything else counts as a read error, whatever arrived.
  bool complete() const { return end == HttpsEnd::kComplete; }
};

// Blocking HTTPS GET on libcurl, for short answers from a web service.
//
// The request is "GET <path> HTTP/1.1" with the Host header and nothing else: no body, no other
// headers, no redirects followed, no compression asked for. The HTTP status is not looked at: an
// error page is an answer like any other. Certificates are always verified against the trust
// store (peer and host name); only the store itself can be exchanged. Only https:// addresses are
// fetched. Time and memory are bounded: the connection (TCP and TLS handshake) and the whole
// transfer have time limits, and neither the body nor the headers may pass their cap.
//
// Thread: any; each Get() is independent and blocks its caller until the transfer ends (or is
// cancelled).
class HttpsClient {
public:
  static constexpr std::size_t kMaxBodyBytes = 64 * 1024;
  // Status line and header lines together; a service's answer needs a few hundred bytes.
  static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

  struct Settings {
    std::string caFile; // PEM bundle to trust; empty: libcurl's own trust store
    long connectTimeoutMs = 10'000; // TCP connection and TLS handshake
    long transferTimeoutMs = 20'000; // the whole transfer, connection included
  };

  HttpsClient();
  explicit HttpsClient(Settings settings);

  HttpsResponse Get(const std::string& url) const { return Get(url, nullptr); }
  // The same, ended early (kCancelled) once `*cancel` is true (another thread sets it): within about
  // a second, when libcurl next reports progress.
  HttpsResponse Get(const std::string& url, const std::atomic<bool>* cancel) const;

  const Settings& GetSettings() const { return mSettings; }

private:
  Settings mSettings;
};

} // namespace plug
