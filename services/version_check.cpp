// SPDX-License-Identifier: ISC
#include "services/version_check.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace quennet {

namespace {

constexpr const char* kCaption = "Check Online for Update";

bool isDigit(char c)
{
  return c >= '0' && c <= '9';
}
bool isSpace(char c)
{
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The text's leading integer as atoi reads it (white space, an optional sign, digits; no number
// gives 0), except that a number beyond the range of int is held at the nearer limit, where atoi's
// result is undefined.
int leadingInteger(const std::string& text)
{
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i]))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  constexpr long long kLimit = static_cast<long long>(INT_MAX) + 1; // |INT_MIN|
  long long magnitude = 0;
  for (; i < text.size() && isDigit(text[i]); ++i)
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kLimit);
  return negative ? static_cast<int>(-magnitude) : static_cast<int>(std::min<long long>(magnitude, INT_MAX));
}

// The release number's digits read as major, minor and patch: "1103" gives "1.1.3", "1110" gives
// "1.1.10", "2000" gives "2.0.0". Whatever follows the digits in the answer stays in the text.
std::string versionText(const std::string& body)
{
  const auto at = [&](std::size_t i) { return i < body.size() ? std::string(1, body[i]) : std::string(); };
  const auto from = [&](std::size_t i) { return i < body.size() ? body.substr(i) : std::string(); };
  return at(0) + "." + at(1) + "." + (at(2) == "0" ? from(3) : from(2));
}

void showReadError(VersionCheckUI& ui)
{
  ui.showMessageBox(std::string("An error occurred while contacting ") + VersionCheck::kDomainName + ".", kCaption,
                    VersionCheckUI::BoxType::kOK, {});
}

} // namespace

VersionCheck::VersionCheck() : VersionCheck(kServiceAddress, {})
{
}

VersionCheck::VersionCheck(std::string serviceAddress, plug::HttpsClient::Settings settings)
    : mServiceAddress(std::move(serviceAddress)), mClient(std::move(settings))
{
}

VersionAnswer VersionCheck::fetch(const std::atomic<bool>* cancel) const
{
  plug::HttpsResponse response = mClient.Get(serviceUrl(), cancel);
  return {std::move(response.body), response.complete()};
}

int VersionCheck::report(const VersionAnswer& answer, VersionCheckUI& ui)
{
  const std::string& body = answer.body;

  // Also what no connection at all gives.
  if (body.empty()) {
    showReadError(ui);
    return kEmptyAnswer;
  }
  const int status = answer.complete ? kAnswered : kReadError;

  // A web server's error page rather than the service's answer.
  if (body.find('<') != std::string::npos) {
    ui.showMessageBox(std::string("Invalid call to ") + kDomainName + ".", kCaption, VersionCheckUI::BoxType::kOK, {});
    return kInvalidAnswer;
  }

  if (leadingInteger(body) <= kOwnVersion) {
    ui.showMessageBox("Your version is up to date.", kCaption, VersionCheckUI::BoxType::kOK, {});
  } else {
    const std::string message = std::string("A new version of ") + kProductName + " is available.\n\n" +
      "\tYour version: \t" + kOwnVersionText + "\n" + "\tNew version: \t" + versionText(body) + "\n" +
      "\nDo you want to go to " + kWebAddress + " to get the new version?";
    const std::string caption = std::string("New Version of ") + kProductName + " Detected";
    // Only a "Yes" opens the page: a box that went away unanswered opens nothing.
    ui.showMessageBox(message, caption, VersionCheckUI::BoxType::kYesNo, [&ui](VersionCheckUI::Answer choice) {
      if (choice == VersionCheckUI::Answer::kYes)
        ui.openUrl(kDownloadPage);
    });
  }

  // After the result, for an answer that arrived only in part.
  if (status == kReadError)
    showReadError(ui);
  return status;
}

} // namespace quennet
