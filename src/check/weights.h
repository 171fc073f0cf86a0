#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "pack/pack_paths.h"
#include "platform/files.h"

namespace check {

// The files the scoring model needs in its snapshot, in the order they are tested.
inline constexpr std::array<std::string_view, 2> requiredWeightFiles = {"model.safetensors",
                                                                        "config.json"};

std::string modelCacheDir(const pack::PackPaths& paths);
// The snapshot named by refs/main, trimmed; none when that file can't be read as UTF-8.
std::optional<std::string> snapshotRevision(const pack::PackPaths& paths,
                                            const platform::Files& files);
std::string snapshotDir(const pack::PackPaths& paths, const std::string& revision);

// Whether every required file exists in the snapshot that refs/main names.
bool weightsPresent(const pack::PackPaths& paths, const platform::Files& files);

}  // namespace check
