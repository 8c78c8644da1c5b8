// SPDX-License-Identifier: ISC
#pragma once

#include <stdexcept>
#include <string>

namespace render {

// Exit statuses of quennet-render.
constexpr int kExitSuccess = 0;
constexpr int kExitRenderFailure = 1; // something went wrong while rendering or writing
constexpr int kExitBadInput = 2; // the command line or an input file cannot be used

// The user's arguments or files cannot be used; nothing has been written.
class BadInput : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The render started but could not be finished; OUTPUT is left as it was.
class RenderFailure : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// "'text'" for messages; control characters would break the one-line message, so they show as '?'.
std::string inQuotes(const std::string& text);

// Prints "quennet-render: <message>" as one line on stderr (line breaks inside become spaces).
void printError(const std::string& message);
void printWarning(const std::string& message);

// strerror of errno at the time of the call.
std::string systemError();
// Why writing failed, for a user: "disk full" for ENOSPC, otherwise strerror of `error`.
std::string writeError(int error);

} // namespace render
