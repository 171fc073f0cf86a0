#pragma once

#include <cstdint>
#include <string>

#include "platform/bundle.h"

namespace pack {

// The pack's version text from its Info.plist, "1.0" when there is none.
std::string packVersion(const platform::MainBundle& bundle);
// The pack's format number from its Info.plist, 0 when there is none.
std::int64_t packFormat(const platform::MainBundle& bundle);

}  // namespace pack
