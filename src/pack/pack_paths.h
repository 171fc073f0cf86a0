#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bundle.h"

namespace pack {

// The pack's name, as the user sees it.
inline constexpr std::string_view packName = "Rivuderu Zororez Udod";
// The host application, found and opened by this identifier.
inline constexpr std::string_view hostBundleIdentifier = "com.ruvizuve.Ruvizuve";
// The scoring model's repository folder inside the hub cache.
inline constexpr std::string_view modelRepoFolder = "models--facebook--audiobox-aesthetics";

// The pack's file locations, as absolute path texts without a trailing "/".
struct PackPaths {
  std::string resourcesRoot;
  std::string qualityDir;
  std::string pythonExecutable;
  std::string hfCacheDir;
};

// `base` with `component` added after one "/"; a component holding "/" adds several levels.
// Nothing is normalised or resolved.
std::string appendingPathComponent(const std::string& base, std::string_view component);
// `path` without its last component; the root stays the root.
std::string deletingLastPathComponent(const std::string& path);
// The absolute path text of `path`, taken relative to `workingDirectory` when it is relative.
std::string absolutePath(const std::string& path, const std::string& workingDirectory);

// Where the pack's resources are: the bundle's resource directory when it has one, otherwise
// the Resources folder beside the folder holding the executable named by `argument0`.
std::string resourcesRootFor(const std::optional<std::string>& bundleResourceDirectory,
                             const std::string& argument0, const std::string& workingDirectory);

PackPaths packPathsUnder(const std::string& resourcesRoot);

// The process-wide values, resolved once at start-up and only read afterwards.
struct Pack {
  std::unique_ptr<platform::MainBundle> mainBundle;
  PackPaths paths;
};

// `arguments` is the whole argument list, the program's own path first. With no bundle and no
// arguments, the executable's real location stands in for the missing program path.
Pack resolvePackPaths(std::unique_ptr<platform::MainBundle> mainBundle,
                      const std::vector<std::string>& arguments,
                      const std::string& workingDirectory);

}  // namespace pack
