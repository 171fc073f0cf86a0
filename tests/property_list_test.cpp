// The Info.plist reader against hostile and unusual lists, in XML and binary.
#include "platform/linux/bundle_files/property_list.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "support/binary_list.h"

namespace {

using testing_support::utf16;

using platform::linux_impl::maxPropertyListNesting;
using platform::linux_impl::maxPropertyListPayloadBytes;
using platform::linux_impl::parsePropertyList;
using platform::linux_impl::PlistPtr;
using testing_support::BinaryList;
using testing_support::doublingChain;
using namespace std::string_literals;
using namespace std::chrono_literals;

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

std::string repeated(const std::string& text, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

// An array of `count` integers, each an object of its own.
std::string binaryArrayOfIntegers(uint32_t count) {
  BinaryList list;
  std::vector<uint32_t> refs;
  for (uint32_t i = 1; i <= count; ++i) {
    refs.push_back(i);
  }
  list.add(BinaryList::array(refs));
  for (uint32_t i = 0; i < count; ++i) {
    list.add(BinaryList::integer(static_cast<uint8_t>(i)));
  }
  return list.bytes(0);
}

// However written, a list makes the parser build at most 32,768 values, keys included.
TEST(PropertyList, ValuesAreBoundedInBothForms) {
  struct Case {
    const char* name;
    std::string list;
    bool accepted;
  };
  const Case cases[] = {
      {"XML at the bound", xmlList("<array>" + repeated("<true/>", 32767) + "</array>"), true},
      {"XML one more", xmlList("<array>" + repeated("<true/>", 32768) + "</array>"), false},
      {"XML keys count", xmlList("<dict>" + repeated("<key>k</key><true/>", 16384) + "</dict>"),
       false},
      {"binary at the bound", binaryArrayOfIntegers(32767), true},
      {"binary one more", binaryArrayOfIntegers(32768), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parsePropertyList(c.list) != nullptr, c.accepted) << c.name;
  }
}

// An array holding `copies` references to one string of `units` characters, ASCII or UTF-16.
std::string sharedString(size_t units, size_t copies, bool utf16 = false) {
  BinaryList list;
  list.add(BinaryList::array(std::vector<uint32_t>(copies, 1)));
  list.add(utf16 ? BinaryList::utf16(std::u16string(units, u'\u00e9'))
                 : BinaryList::ascii(std::string(units, 'a')));
  return list.bytes(0);
}

TEST(PropertyList, BinaryReferencesCannotLoopOrMultiply) {
  BinaryList loop;
  loop.add(BinaryList::array({1}));
  loop.add(BinaryList::array({0}));

  // A shared object met shallow first and deep later is as deep as its deepest place.
  BinaryList sharedDeep;
  // object 0: [3, 2]; 1: an empty array; 2: [1, 3], which holds the chain one level deeper;
  // 3 on: a chain of arrays maxPropertyListNesting - 1 deep.
  const uint32_t chainStart = 3;
  const uint32_t chainDepth = maxPropertyListNesting - 1;
  sharedDeep.add(BinaryList::array({chainStart, 2}));
  sharedDeep.add(BinaryList::array({}));
  sharedDeep.add(BinaryList::array({1, chainStart}));
  for (uint32_t i = 0; i + 1 < chainDepth; ++i) {
    sharedDeep.add(BinaryList::array({chainStart + i + 1}));
  }
  sharedDeep.add(BinaryList::array({}));

  BinaryList sharedArray;  // one array of 1,000 integers, a thousand times over
  sharedArray.add(BinaryList::array(std::vector<uint32_t>(1000, 1)));
  sharedArray.add(BinaryList::array(std::vector<uint32_t>(1000, 2)));
  sharedArray.add(BinaryList::integer(7));

  // The bounds, 32,768 nodes and 1 MiB of strings and data, keep the copies to a few
  // milliseconds: the cases hold them to that, in numbers.
  const size_t stringUnits = 1 << 16;
  struct Case {
    const char* name;
    std::string list;
    bool accepted;
  };
  const Case cases[] = {
      {"a cycle", loop.bytes(0), false},
      {"a doubling chain of 14 levels: 32,767 nodes", doublingChain(14), true},
      {"15 levels: 65,535 nodes", doublingChain(15), false},
      {"20 levels", doublingChain(20), false},
      {"48 levels", doublingChain(48), false},
      {"shared, deeper the second time", sharedDeep.bytes(0), false},
      {"a shared array", sharedArray.bytes(0), false},
      {"64 KiB of text 16 times", sharedString(stringUnits, 16), true},
      {"17 times", sharedString(stringUnits, 17), false},
      {"UTF-16 counts two bytes a character", sharedString(stringUnits / 2, 17, true), false},
      {"a string past the byte bound on its own", sharedString(maxPropertyListPayloadBytes + 1, 1),
       false},
  };
  for (const auto& c : cases) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parsePropertyList(c.list) != nullptr, c.accepted) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << c.name;
  }
}

// A count of 15 or more follows its marker as an integer of 1, 2, 4 or 8 bytes, whatever it
// needs; the root may be any object.
TEST(PropertyList, BinaryCountsOfEveryWidthAreRead) {
  auto arrayWithCountOf = [](unsigned widthExponent) {
    size_t width = size_t{1} << widthExponent;
    std::string array = "\xAF" + std::string(1, static_cast<char>(0x10 | widthExponent)) +
                        BinaryList::bigEndian(15, width);
    for (int i = 0; i < 15; ++i) {
      array += BinaryList::bigEndian(0, 4);
    }
    BinaryList list;
    list.add(BinaryList::integer(3));
    return list.bytes(list.add(array));
  };
  for (unsigned exponent = 0; exponent <= 4; ++exponent) {
    EXPECT_EQ(parsePropertyList(arrayWithCountOf(exponent)) != nullptr, exponent < 4)
        << (1 << exponent) << " bytes";
  }
}

// A binary dictionary of one entry whose key is the object `key`.
std::string withKey(const std::string& key) {
  BinaryList list;
  list.add(BinaryList::dictionary({{1, 2}}));
  list.add(key);
  list.add(BinaryList::ascii("v"));
  return list.bytes(0);
}

// The library asserts that a dictionary's key ends at its first NUL; such a list never reaches it.
TEST(PropertyList, KeysAreStringsWithoutNul) {
  struct Case {
    const char* name;
    std::string list;
    std::optional<std::string> key;  // none: the list is refused
  };
  const Case cases[] = {
      {"ASCII", withKey(BinaryList::ascii("key")), "key"},
      {"UTF-16, as any key beyond ASCII is stored", withKey(BinaryList::utf16(u"Schl\u00fcssel")),
       "Schl\xC3\xBCssel"},
      {"ASCII with a NUL", withKey(BinaryList::ascii("k\0y"s)), std::nullopt},
      {"UTF-16 with a NUL", withKey(BinaryList::utf16(u"k\0y"s)), std::nullopt},
      {"an integer", withKey(BinaryList::integer(2)), std::nullopt},
      {"an array", withKey(BinaryList::array({})), std::nullopt},
      {"XML with a reference", xmlList("<dict><key>k&#65;</key><string>v</string></dict>"), "kA"},
      {"XML &#0;", xmlList("<dict><key>k&#0;</key><string>v</string></dict>"), std::nullopt},
      {"XML &#x00;", xmlList("<dict><key>k&#x00;</key><string>v</string></dict>"), std::nullopt},
      {"XML &#000;", xmlList("<dict><key>k&#000;</key><string>v</string></dict>"), std::nullopt},
      {"XML &#X0;, which is no reference",
       xmlList("<dict><key>k&#X0;</key><string>v</string></dict>"), std::nullopt},
      {"XML with a NUL byte", xmlList("<dict><key>k\0</key><string/></dict>"s), std::nullopt},
  };
  for (const auto& c : cases) {
    PlistPtr root = parsePropertyList(c.list);
    ASSERT_EQ(root != nullptr, c.key.has_value()) << c.name;
    if (root) {
      EXPECT_NE(plist_dict_get_item(root.get(), c.key->c_str()), nullptr) << c.name;
    }
  }
}

// Data holds any bytes, NUL and bytes beyond ASCII included: only strings must be text.
TEST(PropertyList, BinaryDataIsReadAsItStands) {
  BinaryList list;
  list.add(BinaryList::dictionary({{1, 2}}));
  list.add(BinaryList::ascii("blob"));
  list.add("\x43\x00\x01\xff"s);  // data of three bytes
  PlistPtr root = parsePropertyList(list.bytes(0));
  ASSERT_NE(root, nullptr);
  plist_t data = plist_dict_get_item(root.get(), "blob");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(plist_get_node_type(data), PLIST_DATA);
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
      {"1a", std::nullopt},
      {"&#49;", 1},
      {"&#x31;&#50;", 12},
      {"<!-- one -->1", 1},
      {"1<!-- and -->2", 12},
      {"<![CDATA[1]]>", 1},
      {" 1<![CDATA[2]]> ", 12},
      {"<![CDATA[0x]]>1f", 31},
      {"1<b/>", std::nullopt},
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

// Each element becomes a value of its own kind, where the list puts it.
TEST(PropertyList, XmlValuesKeepTheirKindsAndPlaces) {
  PlistPtr root = parsePropertyList(
      xmlList("<dict><key>s</key><string>t</string><key>i</key><integer>-2</integer>"
              "<key>r</key><real> 1.5e3 </real><key>t</key><true/><key>f</key><false></false>"
              "<key>d</key><date>2001-01-02T00:00:00Z</date><key>b</key><data> aGVs\nbG8= </data>"
              "<key>a</key><array><string>x</string><dict/><array/></array></dict>"));
  ASSERT_NE(root, nullptr);
  auto item = [&](const char* key) { return plist_dict_get_item(root.get(), key); };
  EXPECT_EQ(plist_dict_get_size(root.get()), 8u);
  EXPECT_EQ(plist_get_node_type(item("s")), PLIST_STRING);
  uint64_t bits = 0;
  plist_get_uint_val(item("i"), &bits);
  EXPECT_EQ(static_cast<int64_t>(bits), -2);
  double real = 0;
  plist_get_real_val(item("r"), &real);
  EXPECT_EQ(real, 1500.0);
  uint8_t flag = 0;
  plist_get_bool_val(item("t"), &flag);
  EXPECT_EQ(flag, 1);
  plist_get_bool_val(item("f"), &flag);
  EXPECT_EQ(flag, 0);
  int32_t seconds = 0, microseconds = 0;
  plist_get_date_val(item("d"), &seconds, &microseconds);
  EXPECT_EQ(seconds, 86400);  // a day after the platform's epoch
  char* data = nullptr;
  uint64_t length = 0;
  plist_get_data_val(item("b"), &data, &length);
  EXPECT_EQ(std::string(data, length), "hello");
  free(data);
  plist_t array = item("a");
  ASSERT_EQ(plist_array_get_size(array), 3u);
  EXPECT_EQ(plist_get_node_type(plist_array_get_item(array, 0)), PLIST_STRING);
  EXPECT_EQ(plist_get_node_type(plist_array_get_item(array, 1)), PLIST_DICT);
  EXPECT_EQ(plist_get_node_type(plist_array_get_item(array, 2)), PLIST_ARRAY);
}

// The value under key "V" of a list whose root is a dictionary; none when the list is refused.
std::optional<std::string> valueOfV(const std::string& list) {
  PlistPtr root = parsePropertyList(list);
  if (!root) {
    return std::nullopt;
  }
  plist_t node = plist_dict_get_item(root.get(), "V");
  uint64_t length = 0;
  const char* text = node ? plist_get_string_ptr(node, &length) : nullptr;
  return std::string(text ? text : "(no string)", text ? length : 11);
}

std::string withV(const std::string& value) {
  return xmlList("<dict><key>V</key><string>" + value + "</string></dict>");
}

// Each entry of the offset table must point at the objects, between the 8-byte header and the
// table itself: anywhere else the parser would read the header, the table, the trailer or past the
// end of the list as an object.
TEST(PropertyList, BinaryOffsetsOutsideTheObjectsAreRefused) {
  BinaryList list;
  list.add(BinaryList::dictionary({{1, 2}}));
  list.add(BinaryList::ascii("V"));
  list.add(BinaryList::ascii("2.0"));
  const std::string good = list.bytes(0);
  const size_t table = good.size() - 32 - 3 * 4;  // three 4-byte offsets before the trailer
  auto withValueAt = [&](uint64_t offset) {
    std::string bytes = good;
    bytes.replace(table + 2 * 4, 4, BinaryList::bigEndian(offset, 4));
    return bytes;
  };
  ASSERT_EQ(valueOfV(good), "2.0");
  const uint64_t keyAt = static_cast<uint8_t>(good[table + 4 + 3]);  // object 1, the key "V"
  EXPECT_EQ(valueOfV(withValueAt(keyAt)), "V");
  struct Case {
    const char* name;
    uint64_t offset;
  };
  const Case cases[] = {
      {"the header's first byte", 0},
      {"the header's last byte", 7},
      {"the offset table's first byte", table},
      {"the trailer", good.size() - 32},
      {"the list's last byte", good.size() - 1},
      {"past the end of the list", good.size()},
      {"far past it", 0xFFFFFFF0},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(parsePropertyList(withValueAt(c.offset), &why), nullptr) << c.name;
    EXPECT_EQ(why, "a binary object outside the list") << c.name;
  }
}

TEST(PropertyList, XmlIsReadAsXml) {
  struct Case {
    const char* name;
    std::string list;
    std::optional<std::string> value;  // none: the list is refused
  };
  const Case cases[] = {
      {"the predefined entities", withV("&lt;&amp;&gt;&apos;&quot;"), "<&>'\""},
      {"character references", withV("&#946;&#x3b2;&#x1F600;&#x10FFFD;"),
       "\xCE\xB2\xCE\xB2\xF0\x9F\x98\x80\xF4\x8F\xBF\xBD"},
      {"&#0; inside a comment", withV("2.5<!-- &#0; -->"), "2.5"},
      {"an empty comment", withV("2.<!---->5"), "2.5"},
      {"&#0; inside CDATA", withV("<![CDATA[&#0;]]>"), "&#0;"},
      {"&#0; inside a comment between elements",
       xmlList("<dict><!-- &#0; --><key>V</key><string>v</string></dict>"), "v"},
      {"CDATA holding what ends CDATA once resolved", withV("]]&gt;<![CDATA[<&]]>]]&gt;"),
       "]]><&]]>"},
      {"CR LF in a string", withV("a\r\nb"), "a\nb"},
      {"a lone CR", withV("a\rb\r"), "a\nb\n"},
      {"CR LF in CDATA", withV("<![CDATA[a\r\nb]]>"), "a\nb"},
      {"a CR by reference stays", withV("a&#13;\nb"), "a\r\nb"},
      {"an empty key",
       xmlList("<dict><key/><string>e</string><key>V</key><string>v</string></dict>"), "v"},
      {"an empty string", xmlList("<dict><key>V</key><string/></dict>"), ""},
      {"attributes and spaces in tags",
       xmlList("<dict ><key\n>V</key ><string a='&#60;' b=\"x\">v</string\t></dict>"), "v"},
      {"a reference to half a surrogate pair", withV("&#xD800;"), std::nullopt},
      {"a reference to a control character", withV("&#1;"), std::nullopt},
      {"a reference past Unicode", withV("&#x110000;"), std::nullopt},
      {"a reference to U+FFFE, which is no character", withV("&#xFFFE;"), std::nullopt},
      {"a reference to U+FFFD", withV("&#xFFFD;"), "\xEF\xBF\xBD"},
      {"a reference of many digits", withV("&#0000000000000000065;"), "A"},
      {"a reference of too many digits", withV("&#99999999999999999999;"), std::nullopt},
      {"an entity no list defines", withV("&nbsp;"), std::nullopt},
      {"an & alone", withV("a & b"), std::nullopt},
      {"&#0; in an attribute", "<plist version=\"&#0;\"><dict/></plist>", std::nullopt},
      {"an element inside a string", withV("a<b/>c"), std::nullopt},
      {"an element no list has", xmlList("<dict><key>V</key><ustring>v</ustring></dict>"),
       std::nullopt},
      {"text between values", xmlList("<dict>x<key>V</key><string>v</string></dict>"),
       std::nullopt},
      {"an end tag that closes another", xmlList("<dict><key>V</key><string>v</key></dict>"),
       std::nullopt},
      {"a dictionary never closed", "<plist><dict><key>V</key><string>v</string></plist>",
       std::nullopt},
      {"an end tag with nothing open", "</plist>", std::nullopt},
      {"an unclosed comment", withV("v<!-- "), std::nullopt},
      {"a comment that only seems to end", withV("v<!-->"), std::nullopt},
      {"a processing instruction that only seems to end", "<?><plist><string/></plist>",
       std::nullopt},
      {"a declaration after white space",
       "\n <?xml version=\"1.0\"?><plist><dict><key>V</key><string>v</string></dict></plist>", "v"},
      {"a document type that declares attributes",
       "<!DOCTYPE plist [<!ATTLIST plist version CDATA '1.0'>]><plist><dict><key>V</key>"
       "<string>v</string></dict></plist>",
       "v"},
      {"a document type that declares an entity",
       "<!DOCTYPE plist [<!ENTITY v 'x'>]><plist><dict><key>V</key><string>&v;</string></dict>"
       "</plist>",
       std::nullopt},
      {"one that declares an entity it never uses",
       "<!DOCTYPE plist [<!ENTITY v 'x'>]><plist><dict><key>V</key><string>v</string></dict>"
       "</plist>",
       std::nullopt},
      {"a later value of the same key wins",
       xmlList("<dict><key>V</key><string>a</string><key>V</key><string>b</string></dict>"), "b"},
      {"a value after the first in the <plist> is passed over",
       "<plist><dict><key>V</key><string>v</string></dict><string>w</string></plist>", "v"},
      {"a value in a dictionary without its key",
       xmlList("<dict><key>V</key><string>v</string><string>w</string></dict>"), std::nullopt},
      {"a key without its value",
       xmlList("<dict><key>V</key><string>v</string><key>W</key></dict>"), std::nullopt},
      {"a key where a value belongs",
       xmlList("<dict><key>V</key><key>W</key><string>v</string></dict>"), std::nullopt},
      {"a key in an array", xmlList("<array><key>V</key></array>"), std::nullopt},
      {"a <plist> that holds nothing", "<plist></plist>", std::nullopt},
      {"data that holds markup", xmlList("<dict><key>V</key><data>&lt;AAAA</data></dict>"),
       std::nullopt},
      {"a parameter entity",
       "<!DOCTYPE plist [<!ENTITY % v '<!ENTITY w \"x\">'> %v;]><plist><dict><key>V</key>"
       "<string>v</string></dict></plist>",
       std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valueOfV(c.list), c.value) << c.name;
  }
}

TEST(PropertyList, EveryEncodingComesBackAsUtf8) {
  auto declared = [](const std::string& encoding, const std::string& value) {
    return "<?xml version=\"1.0\" encoding=\"" + encoding +
           "\"?>\n<plist version=\"1.0\"><dict><key>V</key><string>" + value +
           "</string></dict></plist>\n";
  };
  const std::u16string utf16List =
      u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<plist version=\"1.0\"><dict><key>V</key>"
      u"<string>2.5 caf\u00e9 \U0001F600</string></dict></plist>\n";
  const std::string cafe = "2.5 caf\xC3\xA9";
  struct Case {
    const char* name;
    std::string list;
    std::optional<std::string> value;  // none: the list is refused
  };
  const Case cases[] = {
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + withV(cafe), cafe},
      {"ISO-8859-1", declared("ISO-8859-1", "2.5 caf\xE9"), cafe},
      {"its name in lower case", declared("iso-8859-1", "2.5 caf\xE9"), cafe},
      {"windows-1252", declared("windows-1252", "\x80"), "\xE2\x82\xAC"},
      {"Shift_JIS", declared("Shift_JIS", "\x93\xfa\x96\x7b"), "\xE6\x97\xA5\xE6\x9C\xAC"},
      {"UTF-16 little-endian", utf16(utf16List, true), cafe + " \xF0\x9F\x98\x80"},
      {"UTF-16 big-endian", utf16(utf16List, false), cafe + " \xF0\x9F\x98\x80"},
      {"declared UTF-16, written in UTF-8", declared("UTF-16", cafe), cafe},
      {"an encoding the converter does not know", declared("x-no-such-thing", "v"), std::nullopt},
      {"an encoding name that is none", declared("UTF 8;rm", "v"), std::nullopt},
      {"no declaration, and not UTF-8", withV("caf\xE9"), std::nullopt},
      {"ISO-8859-1 bytes said to be UTF-8", declared("UTF-8", "caf\xE9"), std::nullopt},
      {"UTF-8 past U+10FFFF", withV("\xF4\x90\x80\x80"), std::nullopt},
      {"UTF-8 for a surrogate", withV("\xED\xA0\x80"), std::nullopt},
      {"an overlong UTF-8 form", withV("\xC0\xAF"), std::nullopt},
      {"UTF-16 with half a surrogate pair", utf16(u"<plist><string>\xD800</string></plist>", true),
       std::nullopt},
      {"EUC-JP, three bytes to a character", declared("EUC-JP", "\x8F\xB0\xA1\xC6\xFC"),
       "\xE4\xB8\x82\xE6\x97\xA5"},
      {"KOI8-R", declared("KOI8-R", "\xC4\xC1"), "\xD0\xB4\xD0\xB0"},
      {"declared UTF-32, written in UTF-8", declared("UTF-32", cafe), cafe},
      {"a UTF-8 byte-order mark decides over the declaration",
       "\xEF\xBB\xBF" + declared("ISO-8859-1", cafe), cafe},
      {"and a UTF-16 one",
       utf16(u"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><dict><key>V</key>"
             u"<string>2.5 caf\u00e9</string></dict></plist>",
             false),
       cafe},
      {"a byte windows-1252 has no character for", declared("windows-1252", "\x81"), std::nullopt},
      {"a Shift_JIS lead byte without its second", declared("Shift_JIS", "\x93"), std::nullopt},
      {"US-ASCII with a byte beyond it", declared("US-ASCII", "caf\xE9"), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(valueOfV(c.list), c.value) << c.name;
  }
}

// A list whose trailer names as its top object the index one past the last; the trailer's own
// first bytes, read as that index's offset, point at a real object, so that nothing but the
// trailer's check stands between the walk and a write past its table of objects.
std::string rootPastTheLastObject() {
  BinaryList list;
  list.add(BinaryList::integer(1));
  std::string bytes = list.bytes(list.next());
  bytes.replace(bytes.size() - 32, 4, BinaryList::bigEndian(8, 4));  // the first object's offset
  return bytes;
}

// A later explanation to pack makers says why their list was not read.
TEST(PropertyList, ARefusalSaysWhy) {
  struct Case {
    std::string list;
    std::string why;
  };
  const Case cases[] = {
      {"", "an empty file"},
      {"<!DOCTYPE lolz [<!ENTITY lol 'lol'><!ENTITY lol2 '&lol;&lol;&lol;&lol;&lol;'>]>"
       "<plist><string>&lol2;</string></plist>",
       "a document type that declares an entity: lol"},
      {"<?xml version=\"1.0\" encoding=\"windows-1252\"?><plist><string>\x81</string></plist>",
       "text that is not valid windows-1252"},
      {withV("a\0b"s), "a NUL character"},
      {withV("a\x01"), "a character XML does not allow: U+0001"},
      {"<plist>\n<dict>\n<key>a</key>\n<string>v",
       "not well-formed XML at line 4, column 10: no element found"},
      {xmlList("<dict><key>V</key><string>v</string><key>W</key></dict>"),
       "a <key> without its value: W"},
      {xmlList("<array><key>K</key></array>"), "a <key> where a value belongs: K"},
      {"<plist>\n</plist>", "a <plist> that holds no value"},
      {xmlList("<dict><key>V</key><data>&lt;AAAA</data></dict>"),
       "a <data> that holds markup: <AAAA"},
      {"<?xml version=\"1.0\" encoding=\"\"?><plist/>", "an encoding name that names none: "},
      {"<?xml version=\"1.0\" standalone=\"maybe\"?><plist/>",
       "a malformed XML declaration: <?xml version=\"1.0\" standalone=\"maybe\""},
      {xmlList(nestedArrays(maxPropertyListNesting + 1)),
       "nested deeper than 512 dictionaries and arrays"},
      {binaryNesting(maxPropertyListNesting + 1), "nested deeper than 512 dictionaries and arrays"},
      {rootPastTheLastObject(), "a binary list whose trailer does not fit the list"},
      {[] {
         BinaryList list;
         return list.bytes(list.add("\xAE"));  // an array of 14 references, none of them there
       }(),
       "a binary container that runs past the list's objects"},
      {withKey(BinaryList::ascii("caf\xE9")), "a binary ASCII string holding a byte beyond ASCII"},
      {xmlList("<dict><key>F</key><integer>1a</integer></dict>"),
       "an <integer> that is not a decimal or 0x hexadecimal number: 1a"},
      {doublingChain(20),
       "more than 32768 values or 1 MiB of strings and data once binary references are followed"},
      {xmlList(repeated("<true/>", 40000)), "more than 32768 values"},
      {"<?xml version=\"1.0\" encoding=\"x-no-such-thing\"?><plist/>",
       "encoding x-no-such-thing can't be converted"},
      {"<plist><string>caf\xE9</string></plist>", "text that is not valid UTF-8"},
      {withV("&#0;"), "a character reference to NUL: &#0;"},
      {withV("&nbsp;"), "an entity a property list can't define: &nbsp;"},
      {withV("&#xFFFE;"), "a character reference to no XML character: &#xFFFE;"},
      {"<plist><dict><string>v</string></dict></plist>",
       "not a property list (the parser refused it)"},
      {xmlList("<dict><key>k</key><string>" + std::string(100, 'x') + "</key></dict>"),
       "</key> where <string> is open"},
      {"no list at all", "text outside a value: no list at all"},
      {"<?xml version=\"1.0\" encoding=\"IS\xCF-8859-1\"?><plist/>",
       "an encoding name that names none: IS?-8859-1"},
      {withV("&" + std::string(50, 'x') + ";"),
       "an entity a property list can't define: &" + std::string(40, 'x') + "...;"},
      {withV("&a" + repeated("\xC3\xA9", 30) + ";"),
       "an entity a property list can't define: &a" + repeated("\xC3\xA9", 19) + "...;"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(parsePropertyList(c.list, &why), nullptr) << c.why;
    EXPECT_EQ(why, c.why);
  }
  std::string untouched = "as it was";
  EXPECT_NE(parsePropertyList(withV("v"), &untouched), nullptr);
  EXPECT_EQ(untouched, "as it was");
}

// The parser resolves each reference by moving the rest of the text; here it meets none.
TEST(PropertyList, AFloodOfReferencesIsReadInLinearTime) {
  std::string flood;
  for (int i = 0; i < 200000; ++i) {
    flood += "&amp;";
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(valueOfV(withV(flood)), std::string(200000, '&'));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
