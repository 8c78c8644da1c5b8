// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "platform/HttpsClient.h"

namespace quennet {

// What the version check needs from the editor: message boxes and the browser. The editor
// implements it on its graphics context.
//
// Thread: the user-interface thread, for the calls and for the completions.
class VersionCheckUI {
public:
  enum class BoxType { kOK, kYesNo };
  // kCancel: the box went away unanswered (the editor closed while it was waiting).
  enum class Answer { kOK, kYes, kNo, kCancel };
  using Completion = std::function<void(Answer)>;

  virtual ~VersionCheckUI() = default;

  // Asks for a box and returns at once; the completion (which may be empty) receives the answer
  // later. A box asked for while another is open waits until the earlier ones are answered, so
  // boxes appear in the order they were asked for. Completions run while this object exists,
  // or not at all.
  virtual void showMessageBox(const std::string& text, const std::string& caption, BoxType type,
                              Completion completion) = 0;
  // Hands the address to the system's browser.
  virtual void openUrl(const std::string& url) = 0;
};

// What the version service answered: the body as far as it arrived, and whether it arrived whole.
struct VersionAnswer {
  std::string body;
  bool complete = false;
};

// Asks the maker's version service for the newest release, compares it with this build's own
// and tells the user through message boxes; offers the download page when a newer one exists.
// Keeps no state between checks. The request (fetch) and the boxes (report) can run on different
// threads: the editor fetches on a thread of its own (BackgroundVersionCheck) so that the host's
// user-interface thread never waits for the network.
class VersionCheck {
public:
  static constexpr int kOwnVersion = 1102;
  static constexpr const char* kOwnVersionText = "1.1.2";
  static constexpr const char* kProductName = "Quennet";
  static constexpr const char* kDomainName = "tarnwellmusic.example";
  static constexpr const char* kWebAddress = "https://tarnwellmusic.example";
  static constexpr const char* kServiceAddress = "https://tarnwellmusic.example";
  static constexpr const char* kServicePath = "/music/version/?file=quennet";
  static constexpr const char* kDownloadPage = "http://tarnwellmusic.example/music/vst.html";

  // Results of checkVersionAgainstWeb().
  static constexpr int kAnswered = 0; // up to date or newer, whichever
  static constexpr int kEmptyAnswer = -1; // also: no connection at all
  static constexpr int kInvalidAnswer = -3; // the answer holds a '<' (an HTML page)
  static constexpr int kReadError = -5; // the transfer ended with a read error
  // The editor's check: the request runs on a thread of its own, the boxes follow (VersionCheckThread).
  static constexpr int kRequested = 1;

  // The maker's service, the system's trust store and the client's standard time limits.
  VersionCheck();
  // Another service address (scheme, host and port; the path stays kServicePath) and client
  // settings: for tests against a local server.
  VersionCheck(std::string serviceAddress, plug::HttpsClient::Settings settings);

  // The request alone: blocks the calling thread for the transfer, bounded by the client's time
  // limits, or until `*cancel` becomes true (the answer is then incomplete). Any thread.
  VersionAnswer fetch(const std::atomic<bool>* cancel = nullptr) const;
  // The boxes for an answer, without waiting for them: their answers arrive through completions.
  // Returns the status; it does not depend on the user's answer. The thread of `ui`.
  static int report(const VersionAnswer& answer, VersionCheckUI& ui);

  // One full request, then the boxes, on the calling thread.
  int checkVersionAgainstWeb(VersionCheckUI& ui) const { return report(fetch(), ui); }

  std::string serviceUrl() const { return mServiceAddress + kServicePath; }

private:
  std::string mServiceAddress;
  plug::HttpsClient mClient;
};

} // namespace quennet
