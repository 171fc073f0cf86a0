#include "platform/linux/property_list.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/linux/property_list_checks.h"

namespace platform::linux_impl {
namespace {

bool fitsTheParser(std::string_view bytes) {
  return bytes.size() <= std::numeric_limits<uint32_t>::max();
}

PlistPtr parsed(std::string_view bytes, std::string& why) {
  if (bytes.empty()) {
    why = "an empty file";
    return nullptr;
  }
  if (!fitsTheParser(bytes)) {
    why = "larger than the parser reads";
    return nullptr;
  }
  bool binary = plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()));
  auto prepared = binary ? preparedBinaryList(bytes, why) : preparedXmlList(bytes, why);
  if (!prepared || !fitsTheParser(*prepared)) {
    why = prepared ? "larger than the parser reads" : why;
    return nullptr;
  }
  plist_t root = nullptr;
  auto length = static_cast<uint32_t>(prepared->size());
  if (binary) {
    plist_from_bin(prepared->data(), length, &root);
  } else {
    plist_from_xml(prepared->data(), length, &root);
  }
  if (!root) {
    why = "not a property list (the parser refused it)";
  }
  return PlistPtr(root);
}

}  // namespace

PlistPtr parsePropertyList(std::string_view bytes, std::string* why) {
  std::string reason;
  PlistPtr root = parsed(bytes, reason);
  if (!root && why) {
    *why = std::move(reason);
  }
  return root;
}

}  // namespace platform::linux_impl
