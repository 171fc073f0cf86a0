// The binary list's check: a walk over its objects that bounds what the parser would build.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/linux/bundle_files/property_list.h"
#include "platform/linux/bundle_files/property_list_checks.h"

namespace platform::linux_impl {
namespace {

// Object types, the high half of an object's marker byte.
constexpr uint8_t integerType = 0x1;
constexpr uint8_t dataType = 0x4;
constexpr uint8_t asciiType = 0x5;
constexpr uint8_t utf16Type = 0x6;
constexpr uint8_t arrayType = 0xA;
constexpr uint8_t setType = 0xC;
constexpr uint8_t dictionaryType = 0xD;

bool isContainer(uint8_t type) {
  return type == arrayType || type == setType || type == dictionaryType;
}

// What a dictionary may hold as a key: a string without a NUL character, since the parser takes
// anything else for one and the library asserts that a key ends at its first NUL.
enum class KeyFitness : uint8_t { NotAString, HoldsNul, Fits };

// The layout of a binary list: objects after an 8-byte header, a table of their offsets, and a
// 32-byte trailer that says where the table is and how wide its entries and references are.
class BinaryPreparer {
 public:
  BinaryPreparer(std::string_view binary, std::string& why) : list_(binary), why_(why) {}

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

  // What the parser makes of an object, copies of what it refers to included. Kept small: a
  // list may hold a million objects.
  struct State {
    bool visiting = false;
    bool done = false;
    KeyFitness key = KeyFitness::NotAString;
    uint16_t height = 0;   // containers on the deepest path from here, this one included
    uint32_t nodes = 0;    // nodes made, at most maxPropertyListNodes
    uint32_t payload = 0;  // bytes of strings and data, at most maxPropertyListPayloadBytes
  };
  struct Frame {
    uint64_t object;
    uint64_t nextRef;
    uint16_t height;
    uint32_t nodes;
    uint32_t payload;
  };
  struct Object {
    uint8_t type;
    uint64_t refCount;  // references that follow, for a container
    size_t refsAt;      // where they start
    uint32_t payload;
    KeyFitness key;
  };

  bool refuse(std::string reason) { return linux_impl::refuse(why_, std::move(reason)); }

  uint64_t bigEndian(size_t at, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
      value = (value << 8) | static_cast<uint8_t>(list_[at + i]);
    }
    return value;
  }

  bool readTrailer() {
    if (list_.size() < headerSize + trailerSize) {
      return refuse("a binary list too short to hold its trailer");
    }
    size_t trailer = list_.size() - trailerSize;
    offsetWidth_ = static_cast<uint8_t>(list_[trailer + 6]);
    refWidth_ = static_cast<uint8_t>(list_[trailer + 7]);
    objectCount_ = bigEndian(trailer + 8, 8);
    root_ = bigEndian(trailer + 16, 8);
    offsetTable_ = bigEndian(trailer + 24, 8);
    bool widthsFit = offsetWidth_ >= 1 && offsetWidth_ <= 8 && refWidth_ >= 1 && refWidth_ <= 8;
    // The count is checked against the table's room before anything is sized by it.
    if (!widthsFit || objectCount_ == 0 || root_ >= objectCount_ || offsetTable_ < headerSize ||
        offsetTable_ > trailer || (trailer - offsetTable_) / offsetWidth_ < objectCount_) {
      return refuse("a binary list whose trailer does not fit the list");
    }
    return true;
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
      refuse("a binary object outside the list");
      return std::nullopt;
    }
    auto marker = static_cast<uint8_t>(list_[*at]);
    Object object{static_cast<uint8_t>(marker >> 4), 0, *at + 1, 0, KeyFitness::NotAString};
    uint64_t count = marker & 0x0F;
    if (object.type == integerType) {
      return patchedInteger(*at, marker & 0x0F) ? std::optional(object) : std::nullopt;
    }
    if (object.type == dataType || object.type == asciiType || object.type == utf16Type) {
      return readPayload(object, count) ? std::optional(object) : std::nullopt;
    }
    if (!isContainer(object.type)) {
      return object;  // the parser checks the rest
    }
    uint64_t perEntry = object.type == dictionaryType ? 2 : 1;  // a dictionary's keys, then values
    if (!extendedCount(object.refsAt, count) ||
        count > (offsetTable_ - object.refsAt) / refWidth_ / perEntry) {
      refuse("a binary container that runs past the list's objects");
      return std::nullopt;
    }
    object.refCount = count * perEntry;
    return object;
  }

  // Data and strings: their size, and what they hold that the pack can't pass on. An ASCII
  // string beyond ASCII would reach the report as bytes that are no UTF-8.
  bool readPayload(Object& object, uint64_t length) {
    size_t unit = object.type == utf16Type ? 2 : 1;
    size_t text = object.refsAt;
    if (!extendedCount(text, length) || length > (offsetTable_ - text) / unit) {
      return refuse("a binary string or data that runs past the list's objects");
    }
    if (length * unit > maxPropertyListPayloadBytes) {
      return refuse(expansionReason());
    }
    object.payload = static_cast<uint32_t>(length * unit);
    if (object.type == dataType) {
      return true;
    }
    object.key = KeyFitness::Fits;
    for (size_t i = 0; i < length; ++i) {
      uint64_t character = bigEndian(text + i * unit, unit);
      if (character == 0) {
        object.key = KeyFitness::HoldsNul;
      } else if (object.type == asciiType && character > 0x7F) {
        return refuse("a binary ASCII string holding a byte beyond ASCII");
      }
    }
    return true;
  }

  // A 16-byte integer may hold what 64 signed bits can't; such a one becomes false, in place: the
  // bytes after its marker are then never read.
  bool patchedInteger(size_t at, unsigned sizeExponent) {
    size_t width = size_t{1} << sizeExponent;
    if (sizeExponent > 4 || at + 1 + width > offsetTable_) {
      return refuse("a binary integer wider than 16 bytes or past the list's objects");
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
    if ((countMarker >> 4) != integerType || width > 8 || at + 1 + width > offsetTable_) {
      return false;
    }
    count = bigEndian(at + 1, width);
    at += 1 + width;
    return true;
  }

  uint64_t refAt(const Object& object, uint64_t i) const {
    return bigEndian(object.refsAt + i * refWidth_, refWidth_);
  }

  static std::string expansionReason() {
    return "more than " + std::to_string(maxPropertyListNodes) + " values or " +
           std::to_string(maxPropertyListPayloadBytes >> 20) +
           " MiB of strings and data once binary references are followed";
  }

  static std::string nestingReason() {
    return "nested deeper than " + std::to_string(maxPropertyListNesting) +
           " dictionaries and arrays";
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
      bool isKey = object.type == dictionaryType && frame.nextRef < object.refCount / 2;
      uint64_t child = refAt(object, frame.nextRef++);
      if (child >= objectCount_) {
        return refuse("a binary reference to an object the list does not have");
      }
      if (state_[child].visiting) {
        return refuse("binary references that loop");
      }
      // A key is checked before anything is entered through it.
      if (isKey && !state_[child].done && !keyFits(child)) {
        return false;
      }
      if (isKey && state_[child].key != KeyFitness::Fits) {
        return refuse(state_[child].key == KeyFitness::HoldsNul
                          ? "a dictionary key holding a NUL character"
                          : "a dictionary key that is not a string");
      }
      if (!state_[child].done && !enter(child, path, objects)) {
        return false;
      }
      // An object met before may lie deeper here than where it was first met: the parser
      // copies it to each place.
      if (!state_[child].done) {
        continue;
      }
      if (path.size() + state_[child].height > static_cast<size_t>(maxPropertyListNesting)) {
        return refuse(nestingReason());
      }
      if (!addChild(path.back(), state_[child])) {
        return false;
      }
    }
    return true;
  }

  // Reads a key object not met before, so that its fitness is known before it is entered.
  bool keyFits(uint64_t index) {
    auto object = readObject(index);
    if (!object) {
      return false;
    }
    state_[index].key = object->key;
    return true;
  }

  bool enter(uint64_t index, std::vector<Frame>& path, std::vector<Object>& objects) {
    auto object = readObject(index);
    if (!object) {
      return false;
    }
    if (!isContainer(object->type)) {
      state_[index] = State{false, true, object->key, 0, 1, object->payload};
      return true;
    }
    if (path.size() >= static_cast<size_t>(maxPropertyListNesting)) {
      return refuse(nestingReason());
    }
    state_[index].visiting = true;
    path.push_back(Frame{index, 0, 0, 1, 0});
    objects.push_back(*object);
    return true;
  }

  bool leave(std::vector<Frame>& path, std::vector<Object>& objects) {
    Frame done = path.back();
    path.pop_back();
    objects.pop_back();
    state_[done.object] = State{
        false,      true,        KeyFitness::NotAString, static_cast<uint16_t>(done.height + 1),
        done.nodes, done.payload};
    return path.empty() || addChild(path.back(), state_[done.object]);
  }

  bool addChild(Frame& parent, const State& child) {
    parent.height = std::max(parent.height, child.height);
    parent.nodes += child.nodes;
    parent.payload += child.payload;
    if (parent.nodes > maxPropertyListNodes || parent.payload > maxPropertyListPayloadBytes) {
      return refuse(expansionReason());
    }
    return true;
  }

  std::string list_;
  std::string& why_;
  uint8_t offsetWidth_ = 0;
  uint8_t refWidth_ = 0;
  uint64_t objectCount_ = 0;
  uint64_t root_ = 0;
  uint64_t offsetTable_ = 0;
  std::vector<State> state_;
};

}  // namespace

std::optional<std::string> preparedBinaryList(std::string_view binary, std::string& why) {
  return BinaryPreparer(binary, why).run();
}

}  // namespace platform::linux_impl
