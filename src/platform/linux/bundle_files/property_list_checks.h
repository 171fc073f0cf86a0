#pragma once

// The XML and the binary readers: each refuses what the parser would choke on or take too long
// over, reads what it would misread as the platform does, and says why it refused.

#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/bundle_files/property_list.h"

namespace platform::linux_impl {

// The XML list in `bytes`, in whatever encoding it declares, read as the platform reads it. When
// it is refused, `where` receives where the reader stopped, where it can tell.
PlistPtr readXmlList(std::string_view bytes, std::string& why, TextPosition& where);

// The binary list in `bytes`, its out-of-range integers turned into false.
std::optional<std::string> preparedBinaryList(std::string_view bytes, std::string& why);

// Sets the reason and gives the checks' answer for a refused list.
inline bool refuse(std::string& why, std::string reason) {
  why = std::move(reason);
  return false;
}

}  // namespace platform::linux_impl
