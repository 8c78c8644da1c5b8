// SPDX-License-Identifier: ISC
#include "platform/HttpsClient.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <new>
#include <utility>

namespace plug {

namespace {

// Once per process and never undone: other parts of the host process may use libcurl too.
bool initCurl()
{
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

struct Transfer {
  std::string body; // capacity reserved up front: the callbacks never allocate
  std::size_t headerBytes = 0;
  bool tooLong = false;
  const std::atomic<bool>* cancel = nullptr;
  bool cancelled = false;
};

// libcurl's progress report, at least about once a second even while nothing arrives: a non-zero
// answer aborts the transfer (CURLE_ABORTED_BY_CALLBACK).
int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
  auto& transfer = *static_cast<Transfer*>(user);
  transfer.cancelled = transfer.cancel && transfer.cancel->load(std::memory_order_relaxed);
  return transfer.cancelled ? 1 : 0;
}

// Returning fewer bytes than offered makes libcurl abort the transfer with CURLE_WRITE_ERROR.
std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user)
{
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  const std::size_t room = HttpsClient::kMaxBodyBytes - transfer.body.size();
  if (bytes > room) {
    transfer.body.append(data, room);
    transfer.tooLong = true;
    return 0;
  }
  transfer.body.append(data, bytes);
  return bytes;
}

std::size_t onHeader(char*, std::size_t size, std::size_t count, void* user)
{
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  transfer.headerBytes += bytes;
  if (transfer.headerBytes > HttpsClient::kMaxHeaderBytes) {
    transfer.tooLong = true;
    return 0;
  }
  return bytes;
}

HttpsEnd endOf(CURLcode code, const Transfer& transfer)
{
  if (transfer.tooLong)
    return HttpsEnd::kTooLong;
  if (transfer.cancelled)
    return HttpsEnd::kCancelled;
  switch (code) {
    case CURLE_OK: return HttpsEnd::kComplete;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR: return HttpsEnd::kConnect;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE: return HttpsEnd::kCertificate;
    case CURLE_OPERATION_TIMEDOUT: return HttpsEnd::kTimeout;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR: return HttpsEnd::kBroken;
    default: return HttpsEnd::kOther;
  }
}

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

HttpsClient::HttpsClient() = default;

HttpsClient::HttpsClient(Settings settings) : mSettings(std::move(settings))
{
}

HttpsResponse HttpsClient::Get(const std::string& url, const std::atomic<bool>* cancel) const
{
  HttpsResponse response;
  Transfer transfer;
  transfer.cancel = cancel;
  try {
    transfer.body.reserve(kMaxBodyBytes);
  } catch (const std::bad_alloc&) {
    return response;
  }
  if (!initCurl())
    return response;

  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  // libcurl sends "Accept: */*" unless told otherwise; an empty value removes the header.
  std::unique_ptr<curl_slist, SlistDeleter> headers(curl_slist_append(nullptr, "Accept:"));
  if (!curl || !headers)
    return response;

  CURL* c = curl.get();
  bool ok = curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_HTTPGET, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK;
  // A plug-in lives in a multi-threaded host: no signal handlers of libcurl's.
  ok = ok && curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, mSettings.connectTimeoutMs) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, mSettings.transferTimeoutMs) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK;
  ok = ok && curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer) == CURLE_OK;
  if (cancel) {
    ok = ok && curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
  }
  if (!mSettings.caFile.empty()) {
    // Exactly this bundle: not the system's certificate folder besides.
    ok = ok && curl_easy_setopt(c, CURLOPT_CAINFO, mSettings.caFile.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(c, CURLOPT_CAPATH, static_cast<const char*>(nullptr)) == CURLE_OK;
  }
  if (!ok)
    return response;

  const CURLcode code = curl_easy_perform(c);
  response.end = endOf(code, transfer);
  response.body = std::move(transfer.body);
  return response;
}

} // namespace plug
