// Stands in for the interpreter in the flood benchmarks: writes FLOOD_BYTES bytes of output,
// as one endless line (FLOOD_LINE unset or 0) or as lines of FLOOD_LINE bytes, then an answer;
// FLOOD_WRITE bytes at a time (1 MiB when unset), as Python writes 8 KiB to a pipe.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool writeAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(STDOUT_FILENO, data, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

size_t envSize(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::strtoull(value, nullptr, 10) : 0;
}

}  // namespace

int main() {
  size_t total = envSize("FLOOD_BYTES");
  size_t line = envSize("FLOOD_LINE");
  size_t perWrite = envSize("FLOOD_WRITE");
  std::vector<char> block(1 << 20, 'x');
  if (line > 0) {
    for (size_t i = line - 1; i < block.size(); i += line) {
      block[i] = '\n';
    }
  }
  // Whole blocks keep the line pattern intact when the block size is a multiple of the line.
  size_t step = perWrite > 0 && perWrite < block.size() ? perWrite : block.size();
  for (size_t left = total, at = 0; left > 0;) {
    size_t n = std::min({left, step, block.size() - at});
    if (!writeAll(block.data() + at, n)) {
      return 1;
    }
    left -= n;
    at = (at + n) % block.size();
  }
  const std::string answer = "\n{\"python_version\":\"bench\",\"torch\":\"bench\",\"mps\":false}\n";
  return writeAll(answer.data(), answer.size()) ? 0 : 1;
}
