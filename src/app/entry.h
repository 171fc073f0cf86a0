#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace app {

enum class Mode { Version, Check, Notice };

// Whether an element of the option list is exactly `option`.
bool hasOption(const std::vector<std::string>& options, std::string_view option);

// The mode for `arguments`, the whole argument list: its first element, the program's own path,
// is never an option.
Mode chooseMode(const std::vector<std::string>& arguments);

// Whether the check is to explain itself on standard error ("--explain" beside "--check"); alone,
// "--explain" is an argument like any other.
bool wantsExplanation(const std::vector<std::string>& arguments);

// Runs the executable: resolves the pack, runs one mode and returns its exit status.
int run(const std::vector<std::string>& arguments);

}  // namespace app
