#pragma once

// A small ELF file as a linker leaves one for the dynamic loader: a header, a program table with
// one loadable segment over the whole file and the dynamic one, and the dynamic section naming its
// string table and version needs. Nothing in it runs; it is for the readers of those needs.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ElfImage {
  std::uint16_t machine = 62;  // EM_X86_64
  bool is64 = true;
  bool bigEndian = false;
  // Each library it needs, with the versions it asks of it: {"libc.so.6", {"GLIBC_2.17"}}.
  std::vector<std::pair<std::string, std::vector<std::string>>> needs;
  bool dynamic = true;  // without, it is linked statically and asks for nothing

  std::string bytes() const {
    const std::uint64_t base = 0x400000;
    const size_t word = is64 ? 8 : 4;
    const size_t headerBytes = is64 ? 64 : 52;
    const size_t programEntryBytes = is64 ? 56 : 32;
    const size_t programTable = headerBytes;
    const size_t strings = programTable + 2 * programEntryBytes;

    std::string table(1, '\0');
    auto name = [&table](const std::string& text) {
      auto at = static_cast<std::uint32_t>(table.size());
      table += text + '\0';
      return at;
    };
    std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> named;
    for (const auto& [file, versions] : needs) {
      named.push_back({name(file), {}});
      for (const auto& version : versions) {
        named.back().second.push_back(name(version));
      }
    }
    const size_t verneed = strings + table.size() + 8 - table.size() % 8;
    size_t verneedBytes = 0;
    for (const auto& [file, versions] : named) {
      verneedBytes += 16 + 16 * versions.size();
    }
    const size_t dynamicAt = verneed + verneedBytes;
    const size_t dynamicBytes = 5 * 2 * word;
    const size_t total = dynamicAt + dynamicBytes;

    std::string out(total, '\0');
    auto put = [&](size_t at, std::uint64_t value, size_t width) {
      for (size_t i = 0; i < width; ++i) {
        size_t index = bigEndian ? at + width - 1 - i : at + i;
        out[index] = static_cast<char>((value >> (8 * i)) & 0xff);
      }
    };
    out.replace(0, 4,
                "\x7f"
                "ELF");
    out[4] = is64 ? 2 : 1;
    out[5] = bigEndian ? 2 : 1;
    out[6] = 1;
    put(16, 2, 2);  // an executable
    put(18, machine, 2);
    put(20, 1, 4);
    put(is64 ? 32 : 28, programTable, word);
    put(is64 ? 52 : 40, headerBytes, 2);
    put(is64 ? 54 : 42, programEntryBytes, 2);
    put(is64 ? 56 : 44, dynamic ? 2 : 1, 2);

    auto programEntry = [&](size_t index, std::uint32_t type, std::uint64_t offset,
                            std::uint64_t size) {
      size_t at = programTable + index * programEntryBytes;
      put(at, type, 4);
      put(at + (is64 ? 8 : 4), offset, word);
      put(at + (is64 ? 16 : 8), base + offset, word);
      put(at + (is64 ? 32 : 16), size, word);
      put(at + (is64 ? 40 : 20), size, word);
    };
    programEntry(0, 1, 0, total);
    programEntry(1, 2, dynamicAt, dynamicBytes);

    out.replace(strings, table.size(), table);
    size_t at = verneed;
    for (size_t i = 0; i < named.size(); ++i) {
      const auto& [file, versions] = named[i];
      put(at, 1, 2);
      put(at + 2, versions.size(), 2);
      put(at + 4, file, 4);
      put(at + 8, 16, 4);
      put(at + 12, i + 1 < named.size() ? 16 + 16 * versions.size() : 0, 4);
      for (size_t j = 0; j < versions.size(); ++j) {
        size_t aux = at + 16 + 16 * j;
        put(aux + 6, 2 + j, 2);
        put(aux + 8, versions[j], 4);
        put(aux + 12, j + 1 < versions.size() ? 16 : 0, 4);
      }
      at += 16 + 16 * versions.size();
    }
    const std::pair<std::uint64_t, std::uint64_t> tags[] = {
        {5, base + strings},           // DT_STRTAB
        {10, table.size()},            // DT_STRSZ
        {0x6ffffffe, base + verneed},  // DT_VERNEED
        {0x6fffffff, named.size()},    // DT_VERNEEDNUM
        {0, 0},                        // DT_NULL
    };
    for (size_t i = 0; i < 5; ++i) {
      put(dynamicAt + 2 * word * i, tags[i].first, word);
      put(dynamicAt + 2 * word * i + word, tags[i].second, word);
    }
    return out;
  }
};

}  // namespace testing_support
