#include "platform/linux/bundle_files/property_list.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "platform/linux/bundle_files/property_list_checks.h"

namespace platform::linux_impl {
namespace {

bool fitsTheParser(std::string_view bytes) {
  return bytes.size() <= std::numeric_limits<uint32_t>::max();
}

PlistPtr parsed(std::string_view bytes, std::string& why, TextPosition& where) {
  if (bytes.empty()) {
    why = "an empty file";
    return nullptr;
  }
  if (!fitsTheParser(bytes)) {
    why = "larger than the parser reads";
    return nullptr;
  }
  if (!plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()))) {
    return readXmlList(bytes, why, where);
  }
  auto prepared = preparedBinaryList(bytes, why);
  if (!prepared) {
    return nullptr;
  }
  plist_t root = nullptr;
  plist_from_bin(prepared->data(), static_cast<uint32_t>(prepared->size()), &root);
  if (!root) {
    why = "not a property list (the parser refused it)";
  }
  return PlistPtr(root);
}

}  // namespace

PlistPtr parsePropertyList(std::string_view bytes, std::string* why, TextPosition* where) {
  std::string reason;
  TextPosition stoppedAt;
  PlistPtr root = parsed(bytes, reason, stoppedAt);
  if (!root && why) {
    *why = std::move(reason);
  }
  if (!root && where && stoppedAt.line > 0) {
    *where = stoppedAt;
  }
  return root;
}

}  // namespace platform::linux_impl
