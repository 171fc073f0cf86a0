#pragma once

// A binary property list written by hand, object by object, so that it can hold what no writer
// would: cycles, copies shared a thousand times, keys that are not strings.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

class BinaryList {
 public:
  // Appends an object's bytes; returns its index.
  uint32_t add(std::string bytes) {
    objects_.push_back(std::move(bytes));
    return static_cast<uint32_t>(objects_.size() - 1);
  }

  // The index the next object added gets.
  uint32_t next() const { return static_cast<uint32_t>(objects_.size()); }

  static std::string array(const std::vector<uint32_t>& refs) {
    std::string bytes = marker(0xA, refs.size());
    for (uint32_t ref : refs) {
      bytes += bigEndian(ref, 4);
    }
    return bytes;
  }
  static std::string dictionary(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
    std::string keys, values;
    for (auto [key, value] : entries) {
      keys += bigEndian(key, 4);
      values += bigEndian(value, 4);
    }
    return marker(0xD, entries.size()) + keys + values;
  }
  static std::string ascii(const std::string& text) { return marker(0x5, text.size()) + text; }
  // UTF-16 units, big-endian, as the format stores every string beyond ASCII.
  static std::string utf16(const std::u16string& text) {
    std::string bytes = marker(0x6, text.size());
    for (char16_t unit : text) {
      bytes += bigEndian(unit, 2);
    }
    return bytes;
  }
  static std::string integer(uint8_t value) { return std::string("\x10") + char(value); }
  static std::string integer16(uint64_t high, uint64_t low) {
    return "\x14" + bigEndian(high, 8) + bigEndian(low, 8);
  }

  // The whole list with `root` at its top; `claimedObjects` overrides the trailer's count.
  std::string bytes(uint32_t root, uint64_t claimedObjects = 0) const {
    std::string list = "bplist00";
    std::string offsets;
    for (const auto& object : objects_) {
      offsets += bigEndian(list.size(), 4);
      list += object;
    }
    size_t tableAt = list.size();
    list += offsets;
    list += std::string(6, '\0') + "\x04\x04" +
            bigEndian(claimedObjects ? claimedObjects : objects_.size(), 8) + bigEndian(root, 8) +
            bigEndian(tableAt, 8);
    return list;
  }

  // `value` in `width` bytes, most significant first; a width past 8 is padded with zeros.
  static std::string bigEndian(uint64_t value, size_t width) {
    std::string bytes(width, '\0');
    for (size_t i = 0; i < width && i < 8; ++i) {
      bytes[width - 1 - i] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
  }

 private:
  // A count below 15 stands in the marker; a larger one follows it as a 4-byte integer.
  static std::string marker(unsigned type, size_t count) {
    if (count < 15) {
      return std::string(1, static_cast<char>(type << 4 | count));
    }
    return std::string(1, static_cast<char>(type << 4 | 0xF)) + "\x12" + bigEndian(count, 4);
  }

  std::vector<std::string> objects_;
};

// A list of `levels` arrays, each referring twice to the next, over one integer: 2^(levels+1) - 1
// nodes once every copy is made.
inline std::string doublingChain(uint32_t levels) {
  BinaryList list;
  for (uint32_t i = 0; i < levels; ++i) {
    list.add(BinaryList::array({i + 1, i + 1}));
  }
  list.add(BinaryList::integer(1));
  return list.bytes(0);
}

}  // namespace testing_support
