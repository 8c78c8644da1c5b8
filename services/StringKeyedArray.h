// SPDX-License-Identifier: ISC
#pragma once

// Sorted array map with case-insensitive string keys.
//
// Pairs live in one vector ordered by strcasecmp and are found by binary search. The map owns a
// copy of every key and its values (a std::string, or a nested map, held by value). A value
// replaced for an existing key keeps the key's stored spelling.

#include <algorithm>
#include <cstddef>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

namespace quennet {

template <typename V>
class StringKeyedArray {
public:
  struct Pair {
    std::string key;
    V value;
  };

  int size() const { return static_cast<int>(mPairs.size()); }
  bool empty() const { return mPairs.empty(); }
  void clear() { mPairs.clear(); }

  const Pair& pairAt(int i) const { return mPairs[static_cast<std::size_t>(i)]; }
  auto begin() const { return mPairs.cbegin(); }
  auto end() const { return mPairs.cend(); }

  V* find(const char* key)
  {
    const auto it = lowerBound(key);
    return (it != mPairs.end() && compare(it->key.c_str(), key) == 0) ? &it->value : nullptr;
  }

  const V* find(const char* key) const { return const_cast<StringKeyedArray*>(this)->find(key); }

  // Inserts in order, or replaces the value of an equal key (its stored spelling stays).
  V& set(const char* key, V value)
  {
    auto it = lowerBound(key);
    if (it != mPairs.end() && compare(it->key.c_str(), key) == 0)
      it->value = std::move(value);
    else
      it = mPairs.insert(it, Pair{std::string(key), std::move(value)});
    return it->value;
  }

  bool remove(const char* key)
  {
    const auto it = lowerBound(key);
    if (it == mPairs.end() || compare(it->key.c_str(), key) != 0)
      return false;
    mPairs.erase(it);
    return true;
  }

  // Bulk loading: append in any order, then call resort() before the next lookup.
  void appendUnsorted(std::string key, V value) { mPairs.push_back(Pair{std::move(key), std::move(value)}); }

  // Restores the order after appendUnsorted(). Of several keys that compare equal, the one
  // appended last survives, so a later line of a file wins over an earlier one.
  void resort()
  {
    std::stable_sort(mPairs.begin(), mPairs.end(),
                     [](const Pair& a, const Pair& b) { return compare(a.key.c_str(), b.key.c_str()) < 0; });
    std::size_t out = 0;
    for (std::size_t i = 0; i < mPairs.size(); ++i) {
      const bool lastOfRun = i + 1 == mPairs.size() || compare(mPairs[i].key.c_str(), mPairs[i + 1].key.c_str()) != 0;
      if (!lastOfRun)
        continue;
      if (out != i)
        mPairs[out] = std::move(mPairs[i]);
      ++out;
    }
    mPairs.erase(mPairs.begin() + static_cast<std::ptrdiff_t>(out), mPairs.end());
  }

private:
  static int compare(const char* a, const char* b) { return strcasecmp(a, b); }

  typename std::vector<Pair>::iterator lowerBound(const char* key)
  {
    return std::lower_bound(mPairs.begin(), mPairs.end(), key,
                            [](const Pair& p, const char* k) { return compare(p.key.c_str(), k) < 0; });
  }

  std::vector<Pair> mPairs;
};

} // namespace quennet
