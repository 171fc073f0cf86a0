#include "check/weights.h"

#include "check/utf8.h"

namespace check {

std::string modelCacheDir(const pack::PackPaths& paths) {
  return pack::appendingPathComponent(paths.hfCacheDir,
                                      "hub/" + std::string(pack::modelRepoFolder));
}

std::optional<std::string> snapshotRevision(const pack::PackPaths& paths,
                                            const platform::Files& files) {
  auto content = files.readFile(pack::appendingPathComponent(modelCacheDir(paths), "refs/main"));
  if (!content || !isValidUtf8(*content)) {
    return std::nullopt;
  }
  return std::string(trimWhitespaceAndNewlines(*content));
}

std::string snapshotDir(const pack::PackPaths& paths, const std::string& revision) {
  return pack::appendingPathComponent(modelCacheDir(paths), "snapshots/" + revision);
}

bool weightsPresent(const pack::PackPaths& paths, const platform::Files& files) {
  auto revision = snapshotRevision(paths, files);
  if (!revision) {
    return false;
  }
  std::string snapshot = snapshotDir(paths, *revision);
  for (std::string_view name : requiredWeightFiles) {
    if (!files.fileExists(pack::appendingPathComponent(snapshot, name))) {
      return false;
    }
  }
  return true;
}

}  // namespace check
