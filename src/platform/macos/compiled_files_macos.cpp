#include "platform/compiled_files.h"

namespace platform {
namespace {

// macOS has no glibc, and a Mach-O file names its minimum system in a load command that the
// cross build sets for the whole bundle: there is nothing for the explanation to tell.
class MacCompiledFiles final : public CompiledFiles {
 public:
  CompiledFileScan scan(const std::vector<std::string>&, size_t) const override { return {}; }
  std::optional<CompiledFile> read(const std::string&) const override { return std::nullopt; }
  std::optional<GlibcVersion> runningGlibc() const override { return std::nullopt; }
  std::string ownProcessor() const override { return ""; }
};

}  // namespace

const CompiledFiles& systemCompiledFiles() {
  static MacCompiledFiles files;
  return files;
}

}  // namespace platform
