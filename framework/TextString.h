// SPDX-License-Identifier: ISC
#pragma once

#include <cstddef>
#include <string>

namespace plug {

// Growable character string for display texts, paths and messages. A thin wrapper over std::string
// that keeps the C-string interface the rest of the framework passes around. Not for the audio
// thread: every change may allocate.
class TextString {
public:
  TextString() = default;
  explicit TextString(const char* str) { Set(str); }

  // A null pointer counts as the empty string. With maxLength >= 0 at most that many characters
  // are taken.
  void Set(const char* str, int maxLength = -1);
  void Append(const char* str, int maxLength = -1);
  void Append(char c) { mString.push_back(c); }

  // printf-style formatting; the result holds at most maxLength characters (longer output is cut).
  void SetFormatted(int maxLength, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void AppendFormatted(int maxLength, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const char* Get() const { return mString.c_str(); }
  int GetLength() const { return static_cast<int>(mString.size()); }
  bool Empty() const { return mString.empty(); }
  void Clear() { mString.clear(); }

  const std::string& GetString() const { return mString; }

  bool operator==(const char* str) const { return mString == (str ? str : ""); }

private:
  std::string mString;
};

} // namespace plug
