// From the bytes of a bundle's Info.plist or strings file to what the pack reads of them: no
// input crashes, hangs or leaks; no list that is accepted nests deeper than the bound or, from
// a binary list, holds more nodes than the bound; every text that comes back is UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/bundle_files/property_list.h"
#include "platform/linux/bundle_files/strings_file.h"
#include "platform/linux/bundle_files/text_encoding.h"

namespace {

using platform::linux_impl::isValidUtf8;
using platform::linux_impl::maxPropertyListNesting;
using platform::linux_impl::maxPropertyListNodes;

struct Shape {
  int deepest = 0;
  size_t nodes = 0;
  bool utf8 = true;
};

void checkText(Shape& shape, const char* text, size_t length) {
  shape.utf8 = shape.utf8 && isValidUtf8(std::string_view(text ? text : "", text ? length : 0));
}

Shape shapeOf(plist_t root) {
  Shape shape;
  std::vector<std::pair<plist_t, int>> pending{{root, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    ++shape.nodes;
    plist_type type = plist_get_node_type(node);
    if (type == PLIST_STRING) {
      uint64_t length = 0;
      const char* text = plist_get_string_ptr(node, &length);
      checkText(shape, text, length);
    }
    if (type != PLIST_ARRAY && type != PLIST_DICT) {
      continue;
    }
    shape.deepest = std::max(shape.deepest, depth + 1);
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
        ++shape.nodes;
        checkText(shape, key, std::string_view(key).size());
        free(key);
        pending.emplace_back(value, depth + 1);
      }
      free(iterator);
    }
  }
  return shape;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string why;
  auto root = platform::linux_impl::parsePropertyList(bytes, &why);
  if (root) {
    Shape shape = shapeOf(root.get());
    bool binary = bytes.substr(0, 6) == "bplist";
    if (shape.deepest > maxPropertyListNesting || !shape.utf8 ||
        (binary && shape.nodes > maxPropertyListNodes)) {
      std::abort();
    }
  } else if (why.empty() || !isValidUtf8(why)) {
    std::abort();  // a refusal always says why, in text a message can carry
  }
  if (auto entries = platform::linux_impl::parseStringsFile(bytes)) {
    for (const auto& [key, value] : *entries) {
      if (!isValidUtf8(key) || !isValidUtf8(value)) {
        std::abort();
      }
    }
  }
  return 0;
}
