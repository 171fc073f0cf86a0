#pragma once

// The few parts of the Objective-C runtime's C interface the macOS backend uses, declared here
// because the cross toolchain carries no libobjc to link against: the library is opened at run
// time and its functions handed over as a table, which a test can fill with fakes.
//
// Every message is sent through objc_msgSend cast to the exact function type of its method, and
// only after the method the receiver's class really has was found to take and return those
// types (integers of either sign alike): a message sent with the wrong types would corrupt
// registers or the stack rather than fail, and nothing here can see it fail on a real Mac.

#include <array>
#include <cstddef>
#include <string_view>

namespace platform::macos_impl {

struct ObjcObject;
struct ObjcSelector;
struct ObjcClass;
struct ObjcMethod;
using Id = ObjcObject*;
using Sel = ObjcSelector*;
using Class = ObjcClass*;
using Method = ObjcMethod*;
using Imp = void (*)();

// BOOL is a C++ bool on arm64 and a signed char on x86_64; the compiler says which for Apple
// targets. Elsewhere (the tests) it follows the Intel rule on Intel.
#if defined(__OBJC_BOOL_IS_BOOL)
#if __OBJC_BOOL_IS_BOOL
using ObjcBool = bool;
#else
using ObjcBool = signed char;
#endif
#elif defined(__x86_64__)
using ObjcBool = signed char;
#else
using ObjcBool = bool;
#endif

// NSInteger and NSUInteger are long and unsigned long, 64 bits wide on both architectures.
using NSInteger = long;
using NSUInteger = unsigned long;
static_assert(sizeof(NSInteger) == 8, "the backend assumes a 64-bit (LP64) target");

struct CompletionBlock;

// The runtime's functions, as the backend takes them.
struct ObjcRuntime {
  Class (*getClass)(const char* name);        // objc_getClass
  Sel (*registerName)(const char* name);      // sel_registerName
  Method (*getInstanceMethod)(Class, Sel);    // class_getInstanceMethod
  Method (*getClassMethod)(Class, Sel);       // class_getClassMethod
  const char* (*methodTypeEncoding)(Method);  // method_getTypeEncoding
  // The entry point that sends a message of the given type encoding, cast by the caller to the
  // method's exact type; none for a type it can't send. objc_msgSend serves every type the
  // backend uses (objc_msgSend_stret would be needed for a structure returned in memory).
  Imp (*messengerFor)(const char* typeEncoding);
  // The class of a block on the stack (_NSConcreteStackBlock), for the completion handler.
  void* stackBlockClass;
};

// The type encoding of each C++ type a message of the backend takes or returns, as the compiler
// writes it for a method.
template <typename T>
struct ObjcTypeCode;
template <>
struct ObjcTypeCode<void> {
  static constexpr std::string_view value = "v";
};
template <>
struct ObjcTypeCode<Id> {
  static constexpr std::string_view value = "@";
};
template <>
struct ObjcTypeCode<bool> {
  static constexpr std::string_view value = "B";
};
template <>
struct ObjcTypeCode<signed char> {
  static constexpr std::string_view value = "c";
};
template <>
struct ObjcTypeCode<long> {
  static constexpr std::string_view value = "q";
};
template <>
struct ObjcTypeCode<unsigned long> {
  static constexpr std::string_view value = "Q";
};
template <>
struct ObjcTypeCode<CompletionBlock*> {
  static constexpr std::string_view value = "@?";
};

// The types of a method returning R and taking A..., without frame offsets: the return type,
// the receiver (@), the selector (:), then the arguments.
template <typename R, typename... A>
constexpr auto methodTypes() {
  constexpr std::size_t length =
      ObjcTypeCode<R>::value.size() + 2 + (ObjcTypeCode<A>::value.size() + ... + 0);
  std::array<char, length + 1> types{};
  std::size_t at = 0;
  auto append = [&](std::string_view code) {
    for (char c : code) {
      types[at++] = c;
    }
  };
  append(ObjcTypeCode<R>::value);
  append("@:");
  (append(ObjcTypeCode<A>::value), ...);
  return types;
}

// Whether a method's type encoding, as the runtime gives it, names `types`: frame offsets and
// the qualifiers the compiler adds (const, in, out, oneway...) are left out of the comparison,
// and so is the sign of an integer argument or result (short, int, long and long long of either
// sign pass alike). Anything else that differs (an object, a selector, BOOL, an integer's size),
// or an encoding that can't be read, is a mismatch.
bool encodingHasTypes(const char* encoding, std::string_view types);

enum class MethodKind { Instance, ClassMethod };

// One message, bound to a method that was checked to have the types of R(A...).
template <typename Signature>
class Message;

template <typename R, typename... A>
class Message<R(A...)> {
 public:
  static constexpr auto types = methodTypes<R, A...>();

  // Looks up `selector` on `receiverClass` and checks its types; false, and nothing bound,
  // when the class or method is missing or its types differ.
  bool bind(const ObjcRuntime& runtime, Class receiverClass, const char* selector,
            MethodKind kind) {
    if (!receiverClass) {
      return false;
    }
    Sel sel = runtime.registerName(selector);
    Method method =
        sel ? (kind == MethodKind::ClassMethod ? runtime.getClassMethod(receiverClass, sel)
                                               : runtime.getInstanceMethod(receiverClass, sel))
            : nullptr;
    if (!method || !encodingHasTypes(runtime.methodTypeEncoding(method), types.data())) {
      return false;
    }
    Imp messenger = runtime.messengerFor(types.data());
    if (!messenger) {
      return false;
    }
    selector_ = sel;
    send_ = reinterpret_cast<R (*)(Id, Sel, A...)>(messenger);
    return true;
  }

  R operator()(Id receiver, A... arguments) const {
    return send_(receiver, selector_, arguments...);
  }

 private:
  Sel selector_ = nullptr;
  R (*send_)(Id, Sel, A...) = nullptr;
};

}  // namespace platform::macos_impl
