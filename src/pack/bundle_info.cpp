#include "pack/bundle_info.h"

#include <cstdint>

namespace pack {
namespace {

constexpr const char* versionKey = "CFBundleShortVersionString";
constexpr const char* formatKey = "RuvizuvePackFormat";

// A real number counts only when it is exactly a whole number that fits in 64 signed bits. Told by
// converting it, once it is known to fit: std::trunc is libm's on x86_64 without SSE4.1, and the
// executable would load libm at every start for it alone.
bool isWholeInt64(double value) {
  constexpr double lowest = -9223372036854775808.0;  // -2^63, exact in a double
  return value >= lowest && value < -lowest &&
         static_cast<double>(static_cast<std::int64_t>(value)) == value;
}

}  // namespace

std::string packVersion(const platform::MainBundle& bundle) {
  auto value = bundle.infoValue(versionKey);
  if (value && value->kind == platform::InfoValue::Kind::String) {
    return value->text;
  }
  return "1.0";
}

std::int64_t packFormat(const platform::MainBundle& bundle) {
  auto value = bundle.infoValue(formatKey);
  if (!value) {
    return 0;
  }
  switch (value->kind) {
    case platform::InfoValue::Kind::Integer:
      return value->integer;
    case platform::InfoValue::Kind::Real:
      return isWholeInt64(value->real) ? static_cast<std::int64_t>(value->real) : 0;
    default:
      // A Boolean is not a format number, nor is a string of digits.
      return 0;
  }
}

}  // namespace pack
