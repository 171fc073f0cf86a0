#include "pack/pack_paths.h"

namespace pack {
namespace {

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

}  // namespace

std::string appendingPathComponent(const std::string& base, std::string_view component) {
  std::string joined = base == "/" ? "/" : base + "/";
  joined += component;
  return withoutTrailingSlashes(std::move(joined));
}

std::string deletingLastPathComponent(const std::string& path) {
  std::string trimmed = withoutTrailingSlashes(path);
  auto slash = trimmed.find_last_of('/');
  if (slash == std::string::npos) {
    return {};
  }
  return withoutTrailingSlashes(slash == 0 ? "/" : trimmed.substr(0, slash));
}

std::string absolutePath(const std::string& path, const std::string& workingDirectory) {
  if (!path.empty() && path.front() == '/') {
    return withoutTrailingSlashes(path);
  }
  return path.empty() ? withoutTrailingSlashes(workingDirectory)
                      : appendingPathComponent(workingDirectory, path);
}

std::string resourcesRootFor(const std::optional<std::string>& bundleResourceDirectory,
                             const std::string& argument0, const std::string& workingDirectory) {
  if (bundleResourceDirectory) {
    return *bundleResourceDirectory;
  }
  std::string executable = absolutePath(argument0, workingDirectory);
  return appendingPathComponent(deletingLastPathComponent(deletingLastPathComponent(executable)),
                                "Resources");
}

PackPaths packPathsUnder(const std::string& resourcesRoot) {
  PackPaths paths;
  paths.resourcesRoot = resourcesRoot;
  paths.qualityDir = appendingPathComponent(paths.resourcesRoot, "quality");
  paths.pythonExecutable = appendingPathComponent(paths.qualityDir, "python/bin/python3");
  paths.hfCacheDir = appendingPathComponent(paths.qualityDir, "hf-cache");
  return paths;
}

Pack resolvePackPaths(std::unique_ptr<platform::MainBundle> mainBundle,
                      const std::vector<std::string>& arguments,
                      const std::string& workingDirectory) {
  auto resourceDirectory = mainBundle->resourceDirectory();
  std::string argument0;
  if (!resourceDirectory) {
    argument0 = arguments.empty() ? mainBundle->executableLocation() : arguments.front();
  }
  std::string root = resourcesRootFor(resourceDirectory, argument0, workingDirectory);
  return Pack{std::move(mainBundle), packPathsUnder(root)};
}

}  // namespace pack
