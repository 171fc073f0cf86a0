// A file system that never answers: a file-system server that hangs, as a network mount or a
// stuck FUSE server does. It holds one executable file, `python3`; listing it and looking it up
// work, but reading it (as exec must) waits for ever, and with `open` so does opening it. A read
// is made ahead of need, so a SIGKILL still ends the process that waits for it; an open is
// waited for in the kernel, where no signal reaches.
//   hung-file-system [open] MOUNTPOINT   (in the foreground; unmount, or kill it, to end it)
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char* fileName = "python3";
constexpr off_t fileSize = 64;

int getAttributes(const char* path, struct stat* info, fuse_file_info*) {
  std::memset(info, 0, sizeof *info);
  if (std::strcmp(path, "/") == 0) {
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path + 1, fileName) == 0) {
    info->st_mode = S_IFREG | 0755;
    info->st_nlink = 1;
    info->st_size = fileSize;
    return 0;
  }
  return -ENOENT;
}

int readDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                  fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) {
    return -ENOENT;
  }
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
  fill(buffer, fileName, nullptr, 0, fuse_fill_dir_flags{});
  return 0;
}

bool openHangs = false;

int openFile(const char* path, fuse_file_info*) {
  if (std::strcmp(path + 1, fileName) != 0) {
    return -ENOENT;
  }
  while (openHangs) {
    ::pause();
  }
  return 0;
}

int readFile(const char*, char*, size_t, off_t, fuse_file_info*) {
  for (;;) {
    ::pause();
  }
}

}  // namespace

int main(int argc, char** argv) {
  openHangs = argc == 3 && std::strcmp(argv[1], "open") == 0;
  if (argc != 2 && !openHangs) {
    return 2;
  }
  char* mountPoint = argv[argc - 1];
  fuse_operations operations{};
  operations.getattr = getAttributes;
  operations.readdir = readDirectory;
  operations.open = openFile;
  operations.read = readFile;
  // A thread per request where opens hang, so that each open reaches the server and waits there,
  // where the kernel holds its caller; one thread otherwise.
  char* arguments[] = {argv[0], const_cast<char*>("-f"), mountPoint, const_cast<char*>("-s"),
                       nullptr};
  return fuse_main(openHangs ? 3 : 4, arguments, &operations, nullptr);
}
