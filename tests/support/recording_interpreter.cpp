// Stands in for the pack's interpreter: records how it was started, then prints a prepared
// answer. The record is one "kind value" line per fact:
//   arg <argument>        once per argument after the program name, "\n" written as "\\n"
//   env <NAME=value>      once per environment entry
//   fd <n> <target>       once per open descriptor
//   sigblk <hex mask> / sigign <hex mask>   from /proc/self/status
//   cwd <directory>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::string linkTarget(const std::string& path) {
  char buffer[4096];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "?" : std::string(buffer, static_cast<size_t>(n));
}

void recordDescriptors(std::ostream& record) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) {
    return;
  }
  std::vector<int> fds;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      fds.push_back(std::atoi(entry->d_name));
    }
  }
  int own = dirfd(dir);
  for (int fd : fds) {
    if (fd != own) {
      record << "fd " << fd << " " << linkTarget("/proc/self/fd/" + std::to_string(fd)) << "\n";
    }
  }
  closedir(dir);
}

void recordSignals(std::ostream& record) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigBlk:", 0) == 0) {
      record << "sigblk " << line.substr(line.find_first_not_of(" \t", 7)) << "\n";
    } else if (line.rfind("SigIgn:", 0) == 0) {
      // glibc's posix_spawn leaves its own two internal signals (32 and 33) ignored in every
      // child it starts; only the others tell how the caller set the child up.
      unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
      ignored &= ~((1ULL << 31) | (1ULL << 32));
      char hex[17];
      std::snprintf(hex, sizeof hex, "%016llx", ignored);
      record << "sigign " << hex << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Descriptors first, before this program opens anything of its own.
  std::ostringstream record;
  recordDescriptors(record);
  for (int i = 1; i < argc; ++i) {
    record << "arg " << escaped(argv[i]) << "\n";
  }
  for (char** entry = environ; *entry; ++entry) {
    record << "env " << escaped(*entry) << "\n";
  }
  recordSignals(record);
  char cwd[4096];
  record << "cwd " << (getcwd(cwd, sizeof cwd) ? cwd : "?") << "\n";

  if (const char* path = std::getenv("QP_TEST_RECORD")) {
    std::ofstream(path) << record.str();
  }
  if (const char* path = std::getenv("QP_TEST_OUTPUT")) {
    std::ifstream output(path, std::ios::binary);
    std::cout << output.rdbuf() << std::flush;
  }
  return 0;
}
