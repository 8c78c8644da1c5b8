// SPDX-License-Identifier: ISC
#include "tools/editor-art/ArtNames.h"

#include <cctype>

namespace art {

ParamTable::ParamTable()
{
  std::array<plug::IParam*, kNumParams> pointers{};
  for (int i = 0; i < kNumParams; ++i)
    pointers[static_cast<std::size_t>(i)] = &mParams[static_cast<std::size_t>(i)];
  initQuennetParameters(pointers);
}

std::string ParamTable::commonFirstWord(std::span<const int> params) const
{
  std::string word;
  for (int param : params) {
    const std::string name = (*this)[param].GetName();
    const std::size_t space = name.find(' ');
    if (space == std::string::npos || space + 1 == name.size())
      return "";
    const std::string first = name.substr(0, space);
    if (word.empty())
      word = first;
    else if (word != first)
      return "";
  }
  return word;
}

std::string ParamTable::shortName(int param, const std::string& groupWord) const
{
  const std::string name = (*this)[param].GetName();
  if (!groupWord.empty() && name.size() > groupWord.size() + 1 && name.compare(0, groupWord.size(), groupWord) == 0 &&
      name[groupWord.size()] == ' ')
    return name.substr(groupWord.size() + 1);
  return name;
}

std::string upper(std::string text)
{
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

} // namespace art
