#pragma once

#include <string>
#include <vector>

namespace platform {

// The shared libraries loaded into this process, by the paths they were loaded from, in the order
// they were loaded; the executable itself and objects without a path (the kernel's vDSO) are left
// out. For a person asking where the pack's executable took its libraries from.
std::vector<std::string> loadedLibraries();

}  // namespace platform
