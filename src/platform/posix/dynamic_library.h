#pragma once

#include <dlfcn.h>

namespace platform::posix_impl {

// A library opened with dlopen and the functions taken from it; usable only when every one of
// them was found, so that a library of another version is left alone rather than half used.
class DynamicLibrary {
 public:
  explicit DynamicLibrary(const char* name) : handle_(::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {}
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  // Never closed: the desktop libraries and system frameworks register state that outlives any
  // one call and can't be unloaded.
  ~DynamicLibrary() = default;

  template <typename Function>
  void bind(Function*& function, const char* symbol) {
    function = handle_ ? reinterpret_cast<Function*>(::dlsym(handle_, symbol)) : nullptr;
    complete_ = complete_ && function != nullptr;
  }
  bool usable() const { return handle_ && complete_; }

 private:
  void* handle_;
  bool complete_ = true;
};

}  // namespace platform::posix_impl
