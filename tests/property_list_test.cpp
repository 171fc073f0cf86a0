// The Info.plist reader against hostile and unusual lists, in XML and binary.
#include "platform/linux/property_list.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {

using platform::linux_impl::maxPropertyListNesting;
using platform::linux_impl::parsePropertyList;
using platform::linux_impl::PlistPtr;
using namespace std::string_literals;

std::string xmlList(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
         "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
         "version=\"1.0\">\n" +
         body + "\n</plist>\n";
}

std::string nestedArrays(size_t depth, const std::string& open = "<array>") {
  std::string text;
  for (size_t i = 0; i < depth; ++i) {
    text += open;
  }
  for (size_t i = 0; i < depth; ++i) {
    text += "</array>";
  }
  return text;
}

// A binary list written by hand, object by object, so that it can hold what no writer would.
class BinaryList {
 public:
  // Appends an object's bytes; returns its index.
  size_t add(std::string bytes) {
    objects_.push_back(std::move(bytes));
    return objects_.size() - 1;
  }
  static std::string array(const std::vector<uint32_t>& refs) {
    std::string bytes;
    if (refs.size() < 15) {
      bytes += static_cast<char>(0xA0 | refs.size());
    } else {
      bytes += "\xAF\x12";  // the count follows as a 4-byte integer
      bytes += bigEndian(refs.size(), 4);
    }
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
    return static_cast<char>(0xD0 | entries.size()) + keys + values;
  }
  static std::string ascii(const std::string& text) {
    return static_cast<char>(0x50 | text.size()) + text;
  }
  static std::string integer16(uint64_t high, uint64_t low) {
    return "\x14" + bigEndian(high, 8) + bigEndian(low, 8);
  }

  std::string bytes(size_t root) const {
    std::string list = "bplist00";
    std::string offsets;
    for (const auto& object : objects_) {
      offsets += bigEndian(list.size(), 4);
      list += object;
    }
    size_t tableAt = list.size();
    list += offsets;
    list += std::string(6, '\0') + "\x04\x04" + bigEndian(objects_.size(), 8) + bigEndian(root, 8) +
            bigEndian(tableAt, 8);
    return list;
  }

 private:
  static std::string bigEndian(uint64_t value, size_t width) {
    std::string bytes(width, '\0');
    for (size_t i = 0; i < width; ++i) {
      bytes[width - 1 - i] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
  }
  std::vector<std::string> objects_;
};

// A chain of arrays `depth` deep, each holding the next.
std::string binaryNesting(size_t depth) {
  BinaryList list;
  for (size_t i = 0; i + 1 < depth; ++i) {
    list.add(BinaryList::array({static_cast<uint32_t>(i + 1)}));
  }
  list.add(BinaryList::array({}));
  return list.bytes(0);
}

TEST(PropertyList, NestingIsBoundedInBothForms) {
  struct Case {
    const char* name;
    std::string list;
    bool accepted;
  };
  const Case cases[] = {
      {"xml at the bound", xmlList(nestedArrays(maxPropertyListNesting)), true},
      {"xml one deeper", xmlList(nestedArrays(maxPropertyListNesting + 1)), false},
      {"xml 200000 deep", xmlList(nestedArrays(200000)), false},
      {"xml dictionaries count too",
       xmlList(std::string("<dict><key>a</key>") + nestedArrays(maxPropertyListNesting) +
               "</dict>"),
       false},
      {"xml with attributes and spaces", xmlList(nestedArrays(600, "<array\n id='x>y'>")), false},
      {"xml empty arrays do not nest",
       xmlList("<array>" + std::string(5000, ' ') +
               [] {
                 std::string empties;
                 for (int i = 0; i < 1000; ++i)
                   empties += "<array/><array />";
                 return empties;
               }() +
               "</array>"),
       true},
      {"xml markup in comments and CDATA is text",
       xmlList("<array><!-- " + nestedArrays(600) + " --><string><![CDATA[" +
               std::string(600, '<') + "array>]]></string></array>"),
       true},
      {"binary at the bound", binaryNesting(maxPropertyListNesting), true},
      {"binary one deeper", binaryNesting(maxPropertyListNesting + 1), false},
      {"binary 300000 deep", binaryNesting(300000), false},
  };
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    PlistPtr root = parsePropertyList(c.list);
    EXPECT_EQ(root != nullptr, c.accepted) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
  }
}

TEST(PropertyList, BinaryReferencesCannotLoopOrMultiply) {
  BinaryList loop;
  loop.add(BinaryList::array({1}));
  loop.add(BinaryList::array({0}));
  EXPECT_EQ(parsePropertyList(loop.bytes(0)), nullptr) << "a cycle";

  // Each array refers twice to the next: 48 levels stand for 2^48 copies.
  BinaryList doubling;
  for (uint32_t i = 0; i < 48; ++i) {
    doubling.add(BinaryList::array({i + 1, i + 1}));
  }
  doubling.add(BinaryList::ascii("leaf"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(parsePropertyList(doubling.bytes(0)), nullptr) << "doubling";
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  // A shared object met shallow first and deep later is as deep as its deepest place.
  BinaryList sharedDeep;
  // object 0: [1, 2]; 1: the chain of depth maxPropertyListNesting - 1 starting at 3;
  // 2: an array 2 deep whose inner array holds object 1 at depth 3 + chain.
  const uint32_t chainStart = 3;
  const uint32_t chainDepth = maxPropertyListNesting - 1;
  sharedDeep.add(BinaryList::array({chainStart, 2}));
  sharedDeep.add(BinaryList::array({}));
  sharedDeep.add(BinaryList::array({1, chainStart}));
  for (uint32_t i = 0; i + 1 < chainDepth; ++i) {
    sharedDeep.add(BinaryList::array({chainStart + i + 1}));
  }
  sharedDeep.add(BinaryList::array({}));
  EXPECT_EQ(parsePropertyList(sharedDeep.bytes(0)), nullptr) << "shared, deeper the second time";
}

// The library asserts that a dictionary's key ends at its first NUL; such a list never reaches it.
TEST(PropertyList, KeysAreStringsWithoutNul) {
  auto withKey = [](const std::string& key) {
    BinaryList list;
    list.add(BinaryList::dictionary({{1, 2}}));
    list.add(key);
    list.add(BinaryList::ascii("v"));
    return list.bytes(0);
  };
  EXPECT_NE(parsePropertyList(withKey(BinaryList::ascii("key"))), nullptr);
  EXPECT_EQ(parsePropertyList(withKey(BinaryList::ascii(std::string("k\0y", 3)))), nullptr);
  EXPECT_EQ(parsePropertyList(withKey(std::string("\x62\0k\0\0", 5))), nullptr) << "UTF-16";
  EXPECT_EQ(parsePropertyList(withKey("\x11\x01\x02")), nullptr) << "an integer";
  EXPECT_NE(parsePropertyList(xmlList("<dict><key>k&#65;</key><string>v</string></dict>")),
            nullptr);
  for (const char* nul : {"&#0;", "&#x00;", "&#X0;", "&#000;"}) {
    auto list = xmlList(std::string("<dict><key>k") + nul + "</key><string>v</string></dict>");
    EXPECT_EQ(parsePropertyList(list), nullptr) << nul;
  }
  EXPECT_EQ(parsePropertyList(xmlList("<dict><key>k\0</key><string/></dict>"s)), nullptr);
}

// What the format key reads as: an integer, an integer turned into false, or no list at all.
TEST(PropertyList, IntegersAreReadAsThePlatformReadsThem) {
  struct Case {
    const char* text;
    std::optional<int64_t> value;  // none: the list is refused
    bool becomesFalse = false;
  };
  const Case cases[] = {
      {"1", 1},
      {" \n 42\t", 42},
      {"+7", 7},
      {"-3", -3},
      {"010", 10},
      {"0x1F", 31},
      {"0X10", 16},
      {"-0x10", -16},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", 0, true},
      {"18446744073709551615", 0, true},
      {"-18446744073709551615", 0, true},
      {"123456789012345678901234567890", 0, true},
      {"1abc", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"0x", std::nullopt},
      {"1 2", std::nullopt},
      {"1.0", std::nullopt},
      {"&#49;", std::nullopt},
  };
  for (const auto& c : cases) {
    auto list = xmlList(std::string("<dict><key>F</key><integer>") + c.text +
                        "</integer><key>V</key><string>2.0</string></dict>");
    PlistPtr root = parsePropertyList(list);
    ASSERT_EQ(root != nullptr, c.value.has_value()) << c.text;
    if (!root) {
      continue;
    }
    plist_t node = plist_dict_get_item(root.get(), "F");
    if (c.becomesFalse) {
      EXPECT_EQ(plist_get_node_type(node), PLIST_BOOLEAN) << c.text;
      continue;
    }
    ASSERT_EQ(plist_get_node_type(node), PLIST_UINT) << c.text;
    uint64_t bits = 0;
    plist_get_uint_val(node, &bits);
    EXPECT_EQ(static_cast<int64_t>(bits), *c.value) << c.text;
  }
  EXPECT_EQ(parsePropertyList(xmlList("<dict><key>F</key><integer/></dict>")), nullptr);

  // A binary list's 16-byte integers hold what 64 signed bits can't.
  for (auto [high, low, inRange] :
       {std::tuple{0ULL, 5ULL, true}, std::tuple{~0ULL, ~0ULL, true},
        std::tuple{0ULL, 1ULL << 63, false}, std::tuple{1ULL, 0ULL, false}}) {
    BinaryList list;
    list.add(BinaryList::dictionary({{1, 2}}));
    list.add(BinaryList::ascii("F"));
    list.add(BinaryList::integer16(high, low));
    PlistPtr root = parsePropertyList(list.bytes(0));
    ASSERT_NE(root, nullptr);
    plist_t node = plist_dict_get_item(root.get(), "F");
    EXPECT_EQ(plist_get_node_type(node), inRange ? PLIST_UINT : PLIST_BOOLEAN) << high << low;
  }
}

}  // namespace
