#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

// A value from the bundle's Info dictionary, reduced to the kinds the pack reads.
struct InfoValue {
  enum class Kind { String, Integer, Real, Boolean, Other };
  Kind kind = Kind::Other;
  std::string text;          // Kind::String
  std::int64_t integer = 0;  // Kind::Integer
  double real = 0;           // Kind::Real
  bool boolean = false;      // Kind::Boolean
  // The localization whose strings file gave the value ("de", "pt-BR"); empty when the Info.plist
  // itself did.
  std::string localization;
};

// How the bundle's information was read, for a person looking into a pack.
struct InfoReport {
  std::string infoPlist;         // where it was looked for; empty outside a bundle
  std::string infoPlistProblem;  // why it was not read; empty when it was
  // Where in it the reader stopped, each from 1; 0 when the problem is not at one place.
  unsigned long infoPlistProblemLine = 0;
  unsigned long infoPlistProblemColumn = 0;
  std::string strings;         // the strings file whose values were looked at; empty: none
  std::string stringsProblem;  // why its values are not used; empty when they are
};

// The bundle the running executable belongs to.
class MainBundle {
 public:
  virtual ~MainBundle() = default;
  // The bundle's resource directory as an absolute path, or none when there is no bundle.
  virtual std::optional<std::string> resourceDirectory() const = 0;
  // The Info dictionary's value under `key`, or none when the key is absent.
  virtual std::optional<InfoValue> infoValue(const std::string& key) const = 0;
  // The executable's own location with symbolic links resolved.
  virtual std::string executableLocation() const = 0;
  virtual InfoReport infoReport() const { return {}; }
};

std::unique_ptr<MainBundle> openMainBundle();

// The process's current working directory, or "/" when it can't be told.
std::string currentDirectory();

}  // namespace platform
