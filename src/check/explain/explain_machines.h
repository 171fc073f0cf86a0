#pragma once

// The explanation's account of which machines the pack reaches; for src/check/explain*.cpp only.

#include <string>
#include <vector>

#include "check/explain/explain.h"
#include "platform/compiled_files.h"

namespace check::explain_parts {

// The newest glibc any compiled file in the bundle needs (the executable, Contents/Frameworks and
// everything under Resources/quality), which file needs it, and which systems that leaves out; a
// file that needs a newer glibc than this machine's, and an interpreter built for a processor
// other than the executable's, as problems.
void explainMachines(const CheckStory& story, const platform::CompiledFiles& compiled,
                     std::vector<Finding>& out);

// "not on Debian 11, Ubuntu 20.04, RHEL 8": the newest release of each of the commonest Linux
// families whose glibc is older than `floor`, newest first; empty when none is.
std::string releasesLeftOut(const platform::GlibcVersion& floor);

}  // namespace check::explain_parts
