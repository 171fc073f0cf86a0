#pragma once

// What the XML and the binary checks share: each runs before the parser sees a list, refuses
// what the parser would choke on or take too long over, rewrites what it would misread, and says
// why it refused.

#include <optional>
#include <string>
#include <string_view>

namespace platform::linux_impl {

// The XML list in `bytes`, in whatever encoding it declares, as UTF-8 text the parser reads
// as the platform would: references resolved, integers in plain decimal, line ends normalised.
std::optional<std::string> preparedXmlList(std::string_view bytes, std::string& why);

// The binary list in `bytes`, its out-of-range integers turned into false.
std::optional<std::string> preparedBinaryList(std::string_view bytes, std::string& why);

// Sets the reason and gives the checks' answer for a refused list.
inline bool refuse(std::string& why, std::string reason) {
  why = std::move(reason);
  return false;
}

}  // namespace platform::linux_impl
