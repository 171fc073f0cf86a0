#pragma once

#include <memory>
#include <string>

#include "platform/bundle.h"
#include "platform/macos/core_foundation.h"

namespace platform::macos_impl {

// Whether an executable at this real location is a bundle's: it lies in Contents/MacOS.
bool isBundleExecutable(const std::string& executableLocation);

// The main bundle as CoreFoundation reads it: the resources directory and the Info dictionary's
// values, localized by the bundle's InfoPlist.strings for the user's languages as the system
// chooses them. An executable outside a bundle (or without `cf`, when the framework could not be
// opened) has neither: CoreFoundation would take the executable's own folder as a bundle of
// resources, where the pack's layout puts them beside that folder, as on Linux.
std::unique_ptr<MainBundle> makeCoreFoundationBundle(const CoreFoundation* cf,
                                                     std::string executableLocation);

}  // namespace platform::macos_impl
