#include "platform/linux/property_list.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace platform::linux_impl {
namespace {

// ---- Integers, as the platform reads an <integer> element's text ----

enum class IntegerForm { Malformed, OutOfRange, InRange };

bool isXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int digitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9') {
    value = c - '0';
  } else if (c >= 'a' && c <= 'f') {
    value = c - 'a' + 10;
  } else if (c >= 'A' && c <= 'F') {
    value = c - 'A' + 10;
  }
  return value < base ? value : -1;
}

// White space around, an optional sign, then decimal digits or "0x" and hexadecimal digits.
IntegerForm readIntegerText(std::string_view text, int64_t& value) {
  while (!text.empty() && isXmlSpace(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && isXmlSpace(text.back())) {
    text.remove_suffix(1);
  }
  bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return IntegerForm::Malformed;
  }
  uint64_t magnitude = 0;
  bool overflow = false;
  for (char c : text) {
    int digit = digitValue(c, base);
    if (digit < 0) {
      return IntegerForm::Malformed;
    }
    auto d = static_cast<uint64_t>(digit);
    overflow = overflow || magnitude > (std::numeric_limits<uint64_t>::max() - d) / base;
    magnitude = magnitude * static_cast<uint64_t>(base) + d;
  }
  constexpr uint64_t maxPositive = std::numeric_limits<int64_t>::max();
  if (overflow || magnitude > maxPositive + (negative ? 1 : 0)) {
    return IntegerForm::OutOfRange;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return IntegerForm::InRange;
}

// ---- XML ----

bool startsWith(std::string_view text, size_t at, std::string_view prefix) {
  return text.substr(at, prefix.size()) == prefix;
}

struct Tag {
  std::string_view name;
  bool closing = false;
  bool empty = false;  // <name/>
  size_t begin = 0;    // the '<'
  size_t end = 0;      // one past the '>'
};

bool isContainer(std::string_view name) {
  return name == "dict" || name == "array";
}

// Copies the list's text, with its integers rewritten, and checks its nesting on the way.
class XmlPreparer {
 public:
  explicit XmlPreparer(std::string_view xml) : xml_(xml) {}

  std::optional<std::string> run() {
    if (holdsNul()) {
      return std::nullopt;
    }
    size_t at = 0;
    while ((at = xml_.find('<', at)) != std::string_view::npos) {
      if (!step(at)) {
        return std::nullopt;
      }
    }
    out_.append(xml_.substr(copied_));
    return std::move(out_);
  }

 private:
  // XML has no NUL character, raw or as a reference ("&#0;", "&#x00;"), and the library asserts
  // that its strings end at their first one.
  bool holdsNul() const {
    if (xml_.find('\0') != std::string_view::npos) {
      return true;
    }
    for (size_t at = xml_.find("&#"); at != std::string_view::npos; at = xml_.find("&#", at + 2)) {
      size_t digits = at + 2;
      int base = 10;
      if (digits < xml_.size() && (xml_[digits] == 'x' || xml_[digits] == 'X')) {
        base = 16;
        ++digits;
      }
      size_t end = digits;
      bool allZero = true;
      while (end < xml_.size() && digitValue(xml_[end], base) >= 0) {
        allZero = allZero && xml_[end] == '0';
        ++end;
      }
      if (end > digits && allZero && end < xml_.size() && xml_[end] == ';') {
        return true;
      }
    }
    return false;
  }

  // Handles the markup at `at` and moves `at` past it; false when the list must be refused.
  bool step(size_t& at) {
    if (startsWith(xml_, at, "<!--")) {
      return skipPast(at, "-->");
    }
    if (startsWith(xml_, at, "<![CDATA[")) {
      return skipPast(at, "]]>");
    }
    if (startsWith(xml_, at, "<?")) {
      return skipPast(at, "?>");
    }
    if (startsWith(xml_, at, "<!")) {
      return skipDeclaration(at);
    }
    auto tag = readTag(at);
    if (!tag) {
      return false;
    }
    at = tag->end;
    if (tag->closing) {
      depth_ -= isContainer(tag->name) ? 1 : 0;
      return true;
    }
    if (tag->name == "integer") {
      return !tag->empty && rewriteInteger(*tag, at);
    }
    return tag->empty || !isContainer(tag->name) || ++depth_ <= maxPropertyListNesting;
  }

  bool skipPast(size_t& at, std::string_view end) {
    size_t found = xml_.find(end, at);
    at = found == std::string_view::npos ? xml_.size() : found + end.size();
    return found != std::string_view::npos;
  }

  // <!DOCTYPE ...>, whose internal subset in brackets may hold '>'.
  bool skipDeclaration(size_t& at) {
    int brackets = 0;
    for (size_t i = at + 2; i < xml_.size(); ++i) {
      char c = xml_[i];
      brackets += c == '[' ? 1 : c == ']' ? -1 : 0;
      if (c == '>' && brackets <= 0) {
        at = i + 1;
        return true;
      }
    }
    return false;
  }

  std::optional<Tag> readTag(size_t at) const {
    Tag tag;
    tag.begin = at;
    size_t i = at + 1;
    tag.closing = i < xml_.size() && xml_[i] == '/';
    i += tag.closing ? 1 : 0;
    size_t nameEnd = i;
    while (nameEnd < xml_.size() && !isXmlSpace(xml_[nameEnd]) && xml_[nameEnd] != '/' &&
           xml_[nameEnd] != '>') {
      ++nameEnd;
    }
    tag.name = xml_.substr(i, nameEnd - i);
    char quote = 0;
    for (i = nameEnd; i < xml_.size(); ++i) {
      char c = xml_[i];
      if (quote) {
        quote = c == quote ? 0 : quote;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        tag.empty = xml_[i - 1] == '/';
        tag.end = i + 1;
        return tag;
      }
    }
    return std::nullopt;
  }

  // The text up to </integer> is the whole number: markup inside it is refused.
  bool rewriteInteger(const Tag& open, size_t& at) {
    size_t textEnd = xml_.find('<', at);
    if (textEnd == std::string_view::npos) {
      return false;
    }
    auto close = readTag(textEnd);
    if (!close || !close->closing || close->name != "integer") {
      return false;
    }
    int64_t value = 0;
    switch (readIntegerText(xml_.substr(at, textEnd - at), value)) {
      case IntegerForm::Malformed:
        return false;
      case IntegerForm::OutOfRange:
        replace(open.begin, close->end, "<false/>");
        break;
      case IntegerForm::InRange:
        replace(at, textEnd, std::to_string(value));
        break;
    }
    at = close->end;
    return true;
  }

  void replace(size_t begin, size_t end, std::string_view replacement) {
    out_.append(xml_.substr(copied_, begin - copied_));
    out_.append(replacement);
    copied_ = end;
  }

  std::string_view xml_;
  std::string out_;
  size_t copied_ = 0;  // what of xml_ is in out_ already, or replaced
  int depth_ = 0;
};

// ---- Binary ----

// The layout of a binary list: objects after an 8-byte header, a table of their offsets, and a
// 32-byte trailer that says where the table is and how wide its entries and references are.
class BinaryPreparer {
 public:
  explicit BinaryPreparer(std::string_view binary) : list_(binary) {}

  std::optional<std::string> run() {
    if (!readTrailer()) {
      return std::nullopt;
    }
    state_.assign(objectCount_, State{});
    if (!walkFrom(root_)) {
      return std::nullopt;
    }
    return std::move(list_);
  }

 private:
  static constexpr size_t headerSize = 8;
  static constexpr size_t trailerSize = 32;

  struct State {
    bool visiting = false;
    bool done = false;
    int height = 0;    // containers on the deepest path from here, this one included
    size_t nodes = 0;  // nodes the parser makes for this object, copies included
  };
  struct Frame {
    uint64_t object;
    uint64_t nextRef;
    int height;
    size_t nodes;
  };
  struct Object {
    uint8_t type;
    uint64_t refCount;  // references that follow, for a container
    size_t refsAt;      // where they start
  };

  uint64_t bigEndian(size_t at, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
      value = (value << 8) | static_cast<uint8_t>(list_[at + i]);
    }
    return value;
  }

  bool readTrailer() {
    if (list_.size() < headerSize + trailerSize) {
      return false;
    }
    size_t trailer = list_.size() - trailerSize;
    offsetWidth_ = static_cast<uint8_t>(list_[trailer + 6]);
    refWidth_ = static_cast<uint8_t>(list_[trailer + 7]);
    objectCount_ = bigEndian(trailer + 8, 8);
    root_ = bigEndian(trailer + 16, 8);
    offsetTable_ = bigEndian(trailer + 24, 8);
    return offsetWidth_ >= 1 && offsetWidth_ <= 8 && refWidth_ >= 1 && refWidth_ <= 8 &&
           objectCount_ > 0 && root_ < objectCount_ && offsetTable_ >= headerSize &&
           offsetTable_ <= trailer && (trailer - offsetTable_) / offsetWidth_ >= objectCount_;
  }

  // Where object `index` starts, or none when that lies outside the objects.
  std::optional<size_t> offsetOf(uint64_t index) const {
    uint64_t offset = bigEndian(offsetTable_ + index * offsetWidth_, offsetWidth_);
    if (offset < headerSize || offset >= offsetTable_) {
      return std::nullopt;
    }
    return static_cast<size_t>(offset);
  }

  std::optional<Object> readObject(uint64_t index) {
    auto at = offsetOf(index);
    if (!at) {
      return std::nullopt;
    }
    auto marker = static_cast<uint8_t>(list_[*at]);
    Object object{static_cast<uint8_t>(marker >> 4), 0, *at + 1};
    uint64_t count = marker & 0x0F;
    if (object.type == 0x1) {
      return patchedInteger(*at, marker & 0x0F) ? std::optional(object) : std::nullopt;
    }
    if (object.type != 0xA && object.type != 0xC && object.type != 0xD) {
      return object;  // not a container: the parser checks the rest
    }
    if (!extendedCount(object.refsAt, count)) {
      return std::nullopt;
    }
    uint64_t perEntry = object.type == 0xD ? 2 : 1;  // a dictionary's keys, then its values
    if (count > (offsetTable_ - object.refsAt) / refWidth_ / perEntry) {
      return std::nullopt;
    }
    object.refCount = count * perEntry;
    return object;
  }

  // A 16-byte integer may hold what 64 signed bits can't; such a one becomes false, in place: the
  // bytes after its marker are then never read.
  bool patchedInteger(size_t at, unsigned sizeExponent) {
    size_t width = size_t{1} << sizeExponent;
    if (sizeExponent > 4 || at + 1 + width > offsetTable_) {
      return false;
    }
    if (width == 16) {
      uint64_t high = bigEndian(at + 1, 8);
      bool lowNegative = (static_cast<uint8_t>(list_[at + 9]) & 0x80) != 0;
      if (high != (lowNegative ? ~uint64_t{0} : 0)) {
        list_[at] = '\x08';
      }
    }
    return true;
  }

  // A dictionary's keys are strings, ASCII or UTF-16, without a NUL character: the parser takes
  // anything else for one, and the library asserts that a key ends at its first NUL.
  bool isKeyString(uint64_t index) const {
    auto at = offsetOf(index);
    if (!at) {
      return false;
    }
    auto marker = static_cast<uint8_t>(list_[*at]);
    size_t unit = (marker >> 4) == 0x5 ? 1 : (marker >> 4) == 0x6 ? 2 : 0;
    uint64_t length = marker & 0x0F;
    size_t text = *at + 1;
    if (unit == 0 || !extendedCount(text, length) || length > (offsetTable_ - text) / unit) {
      return false;
    }
    for (size_t i = 0; i < length; ++i) {
      if (bigEndian(text + i * unit, unit) == 0) {
        return false;
      }
    }
    return true;
  }

  // A count of 15 or more follows its marker as an integer object of 1, 2, 4 or 8 bytes; `at` is
  // moved past it.
  bool extendedCount(size_t& at, uint64_t& count) const {
    if (count != 0x0F) {
      return true;
    }
    if (at >= offsetTable_) {
      return false;
    }
    auto countMarker = static_cast<uint8_t>(list_[at]);
    size_t width = size_t{1} << (countMarker & 0x0F);
    if ((countMarker >> 4) != 0x1 || width > 8 || at + 1 + width > offsetTable_) {
      return false;
    }
    count = bigEndian(at + 1, width);
    at += 1 + width;
    return true;
  }

  uint64_t refAt(const Object& object, uint64_t i) const {
    return bigEndian(object.refsAt + i * refWidth_, refWidth_);
  }

  // Depth first, with a stack of its own rather than recursion; each object is looked into once,
  // and a reference back to an object on the path is a cycle.
  bool walkFrom(uint64_t root) {
    std::vector<Frame> path;
    std::vector<Object> objects;
    if (!enter(root, path, objects)) {
      return false;
    }
    while (!path.empty()) {
      Frame& frame = path.back();
      const Object& object = objects.back();
      if (frame.nextRef == object.refCount) {
        if (!leave(path, objects)) {
          return false;
        }
        continue;
      }
      bool isKey = object.type == 0xD && frame.nextRef < object.refCount / 2;
      uint64_t child = refAt(object, frame.nextRef++);
      if (child >= objectCount_ || state_[child].visiting || (isKey && !isKeyString(child))) {
        return false;
      }
      if (!state_[child].done && !enter(child, path, objects)) {
        return false;
      }
      // An object met before may lie deeper here than where it was first met: the parser
      // copies it to each place.
      if (state_[child].done && (path.size() + static_cast<size_t>(state_[child].height) >
                                     static_cast<size_t>(maxPropertyListNesting) ||
                                 !addChild(path.back(), state_[child]))) {
        return false;
      }
    }
    return true;
  }

  bool enter(uint64_t index, std::vector<Frame>& path, std::vector<Object>& objects) {
    auto object = readObject(index);
    if (!object) {
      return false;
    }
    if (object->refCount == 0 && object->type != 0xA && object->type != 0xC &&
        object->type != 0xD) {
      state_[index] = State{false, true, 0, 1};
      return true;
    }
    if (path.size() >= static_cast<size_t>(maxPropertyListNesting)) {
      return false;
    }
    state_[index].visiting = true;
    path.push_back(Frame{index, 0, 0, 1});
    objects.push_back(*object);
    return true;
  }

  bool leave(std::vector<Frame>& path, std::vector<Object>& objects) {
    Frame done = path.back();
    path.pop_back();
    objects.pop_back();
    state_[done.object] = State{false, true, done.height + 1, done.nodes};
    return path.empty() || addChild(path.back(), state_[done.object]);
  }

  static bool addChild(Frame& parent, const State& child) {
    parent.height = std::max(parent.height, child.height);
    parent.nodes += child.nodes;
    return parent.nodes <= maxPropertyListNodes;
  }

  std::string list_;
  uint8_t offsetWidth_ = 0;
  uint8_t refWidth_ = 0;
  uint64_t objectCount_ = 0;
  uint64_t root_ = 0;
  uint64_t offsetTable_ = 0;
  std::vector<State> state_;
};

}  // namespace

std::optional<std::string> preparedXmlList(std::string_view xml) {
  return XmlPreparer(xml).run();
}

std::optional<std::string> preparedBinaryList(std::string_view binary) {
  return BinaryPreparer(binary).run();
}

PlistPtr parsePropertyList(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
    return nullptr;
  }
  bool binary = plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size()));
  auto prepared = binary ? preparedBinaryList(bytes) : preparedXmlList(bytes);
  if (!prepared) {
    return nullptr;
  }
  auto length = static_cast<uint32_t>(prepared->size());
  plist_t root = nullptr;
  if (binary) {
    plist_from_bin(prepared->data(), length, &root);
  } else {
    plist_from_xml(prepared->data(), length, &root);
  }
  return PlistPtr(root);
}

}  // namespace platform::linux_impl
