#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_impl {

// What the dynamic loader reads of an ELF file before it runs it: the processor it is built for
// and the symbol versions it asks of the libraries it needs, as the loader finds them (through the
// dynamic segment, so that a file stripped of its section headers is read all the same).

struct ElfNeeds {
  std::uint16_t machine = 0;          // e_machine
  std::vector<std::string> versions;  // every version it needs, each once ("GLIBC_2.17")
};

// Reads `size` bytes at `offset` of the file; fewer, or none, where the file ends or can't be read.
using ReadAt = std::function<std::optional<std::string>(std::uint64_t offset, std::size_t size)>;

// None when the file is not ELF, or its header is cut short. Whatever else is damaged (a table
// out of the file, a chain that loops) is read as far as it is sound, and never past it.
std::optional<ElfNeeds> readElfNeeds(const ReadAt& readAt);

// The processor `machine` names, as `uname -m` does; "machine N" for one not named here.
std::string processorName(std::uint16_t machine);

}  // namespace platform::linux_impl
