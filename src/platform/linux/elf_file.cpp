#include "platform/linux/elf_file.h"

#include <algorithm>
#include <array>

namespace platform::linux_impl {
namespace {

constexpr std::uint32_t ptLoad = 1;
constexpr std::uint32_t ptDynamic = 2;
constexpr std::uint64_t dtNull = 0;
constexpr std::uint64_t dtStrtab = 5;
constexpr std::uint64_t dtStrsz = 10;
constexpr std::uint64_t dtVerneed = 0x6ffffffe;
constexpr std::uint64_t dtVerneednum = 0x6fffffff;

// Far more than any sound file holds: a damaged one is read no further.
constexpr std::size_t maxProgramTableBytes = 1 << 16;
constexpr std::size_t maxDynamicEntries = 4096;
constexpr std::size_t maxNeededFiles = 256;
constexpr std::size_t maxVersionsPerFile = 256;
// Version names are short ("GLIBC_2.2.5"); a longer one is none of glibc's.
constexpr std::size_t nameBytes = 64;
// A Verneed and a Vernaux entry are 16 bytes in both classes.
constexpr std::size_t versionEntryBytes = 16;

struct Segment {
  std::uint64_t address;
  std::uint64_t offset;
  std::uint64_t size;
};

// Integers of the file's byte order and class, read from the file at their offsets.
class ElfReader {
 public:
  ElfReader(const ReadAt& readAt, bool is64, bool bigEndian)
      : readAt_(readAt), is64_(is64), bigEndian_(bigEndian) {}

  bool is64() const { return is64_; }
  std::size_t wordBytes() const { return is64_ ? 8 : 4; }

  // Exactly `size` bytes at `offset`, or none.
  std::optional<std::string> bytes(std::uint64_t offset, std::size_t size) const {
    auto read = readAt_(offset, size);
    if (!read || read->size() != size) {
      return std::nullopt;
    }
    return read;
  }

  std::uint64_t number(const std::string& bytes, std::size_t at, std::size_t width) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      std::size_t index = bigEndian_ ? at + i : at + width - 1 - i;
      value = (value << 8) | static_cast<unsigned char>(bytes[index]);
    }
    return value;
  }
  std::uint64_t word(const std::string& bytes, std::size_t at) const {
    return number(bytes, at, wordBytes());
  }

 private:
  const ReadAt& readAt_;
  bool is64_;
  bool bigEndian_;
};

std::optional<std::uint64_t> offsetOf(std::uint64_t address, const std::vector<Segment>& loads) {
  for (const auto& load : loads) {
    if (address >= load.address && address - load.address < load.size) {
      return load.offset + (address - load.address);
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> plus(std::uint64_t offset, std::uint64_t step) {
  return offset > UINT64_MAX - step ? std::nullopt : std::optional(offset + step);
}

struct ProgramTable {
  std::vector<Segment> loads;
  std::optional<Segment> dynamic;
};

ProgramTable programTable(const ElfReader& elf, const std::string& header) {
  ProgramTable table;
  std::uint64_t at = elf.word(header, elf.is64() ? 32 : 28);
  std::size_t entryBytes = elf.number(header, elf.is64() ? 54 : 42, 2);
  std::size_t count = elf.number(header, elf.is64() ? 56 : 44, 2);
  if (entryBytes < (elf.is64() ? 56u : 32u) || entryBytes * count > maxProgramTableBytes) {
    return table;
  }
  auto entries = elf.bytes(at, entryBytes * count);
  for (std::size_t i = 0; entries && i < count; ++i) {
    std::size_t base = i * entryBytes;
    auto type = static_cast<std::uint32_t>(elf.number(*entries, base, 4));
    Segment segment = elf.is64()
                          ? Segment{elf.word(*entries, base + 16), elf.word(*entries, base + 8),
                                    elf.word(*entries, base + 32)}
                          : Segment{elf.word(*entries, base + 8), elf.word(*entries, base + 4),
                                    elf.word(*entries, base + 16)};
    if (type == ptLoad) {
      table.loads.push_back(segment);
    } else if (type == ptDynamic) {
      table.dynamic = segment;
    }
  }
  return table;
}

struct DynamicTags {
  std::optional<std::uint64_t> strings;
  std::uint64_t stringBytes = 0;
  std::optional<std::uint64_t> verneed;
  std::uint64_t verneedCount = maxNeededFiles;
};

DynamicTags dynamicTags(const ElfReader& elf, const Segment& dynamic) {
  DynamicTags tags;
  std::size_t entryBytes = 2 * elf.wordBytes();
  std::size_t count = std::min<std::uint64_t>(dynamic.size / entryBytes, maxDynamicEntries);
  auto entries = elf.bytes(dynamic.offset, count * entryBytes);
  for (std::size_t i = 0; entries && i < count; ++i) {
    std::uint64_t tag = elf.word(*entries, i * entryBytes);
    std::uint64_t value = elf.word(*entries, i * entryBytes + elf.wordBytes());
    if (tag == dtNull) {
      break;
    }
    if (tag == dtStrtab) {
      tags.strings = value;
    } else if (tag == dtStrsz) {
      tags.stringBytes = value;
    } else if (tag == dtVerneed) {
      tags.verneed = value;
    } else if (tag == dtVerneednum) {
      tags.verneedCount = std::min<std::uint64_t>(value, maxNeededFiles);
    }
  }
  return tags;
}

// The NUL-terminated name at `index` in the string table, ended within the table.
std::optional<std::string> nameAt(const ElfReader& elf, std::uint64_t strings,
                                  std::uint64_t stringBytes, std::uint64_t index) {
  if (index >= stringBytes) {
    return std::nullopt;
  }
  auto start = plus(strings, index);
  std::size_t wanted = std::min<std::uint64_t>(nameBytes, stringBytes - index);
  auto read = start ? elf.bytes(*start, wanted) : std::nullopt;
  size_t end = read ? read->find('\0') : std::string::npos;
  if (end == std::string::npos) {
    return std::nullopt;  // cut off by the table's end, or longer than any version name
  }
  return read->substr(0, end);
}

void addOnce(std::vector<std::string>& names, std::string name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) {
    names.push_back(std::move(name));
  }
}

// Every Vernaux name of every Verneed entry, each chain followed by its offsets, which only ever
// lead forward, and no further than the counts allow.
std::vector<std::string> neededVersions(const ElfReader& elf, std::uint64_t strings,
                                        const DynamicTags& tags, std::uint64_t verneed) {
  std::vector<std::string> versions;
  std::optional<std::uint64_t> entry = verneed;
  for (std::uint64_t file = 0; entry && file < tags.verneedCount; ++file) {
    auto needed = elf.bytes(*entry, versionEntryBytes);
    if (!needed) {
      break;
    }
    std::uint64_t count = std::min<std::uint64_t>(elf.number(*needed, 2, 2), maxVersionsPerFile);
    auto aux = plus(*entry, elf.number(*needed, 8, 4));
    for (std::uint64_t i = 0; aux && i < count; ++i) {
      auto version = elf.bytes(*aux, versionEntryBytes);
      auto name = version ? nameAt(elf, strings, tags.stringBytes, elf.number(*version, 8, 4))
                          : std::nullopt;
      if (name) {
        addOnce(versions, std::move(*name));
      }
      std::uint64_t next = version ? elf.number(*version, 12, 4) : 0;
      aux = next == 0 ? std::nullopt : plus(*aux, next);
    }
    std::uint64_t next = elf.number(*needed, 12, 4);
    entry = next == 0 ? std::nullopt : plus(*entry, next);
  }
  return versions;
}

}  // namespace

std::optional<ElfNeeds> readElfNeeds(const ReadAt& readAt) {
  auto header = readAt(0, 64);
  if (!header || header->size() < 52 ||
      header->compare(0, 4,
                      "\x7f"
                      "ELF") != 0) {
    return std::nullopt;
  }
  char elfClass = (*header)[4];
  char byteOrder = (*header)[5];
  if ((elfClass != 1 && elfClass != 2) || (byteOrder != 1 && byteOrder != 2) ||
      (elfClass == 2 && header->size() < 64)) {
    return std::nullopt;
  }
  ElfReader elf(readAt, elfClass == 2, byteOrder == 2);
  ElfNeeds needs;
  needs.machine = static_cast<std::uint16_t>(elf.number(*header, 18, 2));

  ProgramTable table = programTable(elf, *header);
  if (!table.dynamic) {
    return needs;  // linked statically: it asks the system for nothing
  }
  DynamicTags tags = dynamicTags(elf, *table.dynamic);
  auto strings = tags.strings ? offsetOf(*tags.strings, table.loads) : std::nullopt;
  auto verneed = tags.verneed ? offsetOf(*tags.verneed, table.loads) : std::nullopt;
  if (strings && verneed) {
    needs.versions = neededVersions(elf, *strings, tags, *verneed);
  }
  return needs;
}

std::string processorName(std::uint16_t machine) {
  struct Named {
    std::uint16_t machine;
    const char* name;
  };
  constexpr std::array<Named, 7> names = {{{3, "i386"},
                                           {62, "x86_64"},
                                           {183, "aarch64"},
                                           {40, "arm"},
                                           {21, "ppc64"},
                                           {22, "s390x"},
                                           {243, "riscv64"}}};
  for (const auto& named : names) {
    if (named.machine == machine) {
      return named.name;
    }
  }
  return "machine " + std::to_string(machine);
}

}  // namespace platform::linux_impl
