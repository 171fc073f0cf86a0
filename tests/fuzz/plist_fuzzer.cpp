// From the bytes of a bundle's Info.plist or strings file to what the pack reads of them: no
// input crashes, hangs or leaks, and no list that is accepted nests deeper than the bound.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/property_list.h"
#include "platform/linux/strings_file.h"

namespace {

using platform::linux_impl::maxPropertyListNesting;

int nestingOf(plist_t root) {
  int deepest = 0;
  std::vector<std::pair<plist_t, int>> pending{{root, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    plist_type type = plist_get_node_type(node);
    if (type != PLIST_ARRAY && type != PLIST_DICT) {
      continue;
    }
    deepest = std::max(deepest, depth + 1);
    if (type == PLIST_ARRAY) {
      for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
        pending.emplace_back(plist_array_get_item(node, i), depth + 1);
      }
    } else {
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, iterator, &key, &value);
        if (!key) {
          break;
        }
        free(key);
        pending.emplace_back(value, depth + 1);
      }
      free(iterator);
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto root = platform::linux_impl::parsePropertyList(bytes);
  if (root && nestingOf(root.get()) > maxPropertyListNesting) {
    std::abort();
  }
  platform::linux_impl::parseStringsFile(bytes);
  return 0;
}
