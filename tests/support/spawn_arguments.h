#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>  // environ

namespace testing_support {

// This process's environment with `changes` made: a name mapped to none is removed.
inline std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    if (!changes.count(text.substr(0, text.find('=')))) {
      entries.push_back(text);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      entries.push_back(name + "=" + *value);
    }
  }
  return entries;
}

// The argv/envp form of `strings`, valid while they live.
inline std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) {
    pointers.push_back(s.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace testing_support
