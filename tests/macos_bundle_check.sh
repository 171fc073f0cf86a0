#!/usr/bin/env bash
# Cross-builds the macOS bundle and checks what a Mac would check first: both slices there, each
# for macOS 11.0 and loading nothing but libSystem (libobjc, CoreFoundation, CoreGraphics,
# CoreServices and AppKit are opened at run time, so none of them is a load command, and what is looked up in them
# is named among the executable's strings), the arm64 slice signed as arm64 macOS requires, and
# the Info.plist's keys.
set -euo pipefail
cd "$(dirname "$0")/.."

mkdir -p build-macos
if ! bash scripts/build-macos >build-macos/build.log 2>&1; then
  tail -n 40 build-macos/build.log >&2
  echo "macos_bundle_check: the cross build failed (build-macos/build.log)" >&2
  exit 1
fi

pack="build-macos/Rivuderu Zororez Udod.app"
exe="$pack/Contents/MacOS/quality-pack"
failures=0
fail() { echo "macos_bundle_check: $*" >&2; failures=$((failures + 1)); }

[[ -x "$exe" ]] || { echo "macos_bundle_check: no executable at $exe" >&2; exit 1; }

archs="$(llvm-lipo-14 -archs "$exe" | xargs)"
[[ "$archs" == "x86_64 arm64" ]] || fail "slices are '$archs', not 'x86_64 arm64'"

for arch in x86_64 arm64; do
  commands="$(llvm-objdump-14 --macho --private-headers --arch="$arch" "$exe")"
  loaded="$(awk '/cmd LC_(LOAD|LOAD_WEAK|REEXPORT|LAZY_LOAD)_DYLIB$/ {dylib=1}
                 dylib && $1 == "name" {print $2; dylib=0}' <<<"$commands")"
  [[ "$loaded" == "/usr/lib/libSystem.B.dylib" ]] || fail "$arch loads: $(echo $loaded)"
  grep -q 'AppKit' <<<"$commands" && fail "$arch names AppKit in its load commands"
  minos="$(awk '/cmd LC_BUILD_VERSION/ {found=1} found && $1 == "minos" {print $2; exit}' <<<"$commands")"
  [[ "$minos" == "11.0" ]] || fail "$arch is for macOS $minos, not 11.0"
  # Frameworks are opened by path, the runtime's functions looked up by name.
  undefined="$(llvm-nm-14 --arch="$arch" --undefined-only "$exe")"
  # _availability_version_check answers __builtin_available with the system's version.
  for symbol in _dlopen _dlsym __NSGetExecutablePath _proc_listchildpids _proc_pidinfo \
    _dispatch_semaphore_create _posix_spawn _posix_spawn_file_actions_addinherit_np \
    __availability_version_check; do
    grep -qw "$symbol" <<<"$undefined" || fail "$arch does not call $symbol"
  done
  for symbol in _objc_msgSend _CFBundleGetMainBundle _CFUserNotificationDisplayAlert \
    _CGSessionCopyCurrentDictionary _LSCopyApplicationURLsForBundleIdentifier _CFRunLoopRunInMode \
    _kCFRunLoopDefaultMode _CFErrorCopyDescription; do
    grep -qw "$symbol" <<<"$undefined" && fail "$arch links $symbol by name"
  done
done

# What the notice looks up at run time: the user-notification alert, the window-server session,
# Launch Services, the run loop it turns while the launch is awaited, the launch error's
# description, and -activate beside -activateIgnoringOtherApps:.
strings="$(llvm-strings-14 "$exe")"
for name in CFUserNotificationDisplayAlert CGSessionCopyCurrentDictionary \
  LSCopyApplicationURLsForBundleIdentifier CFRunLoopRunInMode kCFRunLoopDefaultMode \
  CFErrorCopyDescription activate activateIgnoringOtherApps: \
  /System/Library/Frameworks/CoreGraphics.framework/CoreGraphics \
  /System/Library/Frameworks/CoreServices.framework/CoreServices; do
  grep -qxF -- "$name" <<<"$strings" || fail "the executable does not name $name"
done

llvm-objdump-14 --macho --private-headers --arch=arm64 "$exe" | grep -q 'cmd LC_CODE_SIGNATURE' ||
  fail "the arm64 slice carries no code signature"

plist="$pack/Contents/Info.plist"
expect_key() {
  python3 - "$plist" "$1" "$2" <<'PY' || fail "Info.plist: $1 is not $2"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    info = plistlib.load(f)
key, want = sys.argv[2], sys.argv[3]
have = info.get(key)
sys.exit(0 if have is not None and str(have) == want else 1)
PY
}
expect_key CFBundleExecutable quality-pack
expect_key CFBundlePackageType APPL
expect_key LSMinimumSystemVersion 11.0
expect_key CFBundleShortVersionString "$(cat build-macos/arm64/pack-version.txt)"
build_number="$(cat build-macos/arm64/bundle-version.txt)"
expect_key CFBundleVersion "${build_number:-$(cat build-macos/arm64/pack-version.txt)}"
expect_key RuvizuvePackFormat "$(sed -n 's/^QP_PACK_FORMAT:[A-Z]*=//p' build-macos/arm64/CMakeCache.txt)"
python3 -c 'import plistlib,sys; i=plistlib.load(open(sys.argv[1],"rb")); sys.exit(0 if isinstance(i.get("CFBundleIdentifier"), str) and isinstance(i.get("RuvizuvePackFormat"), int) else 1)' "$plist" ||
  fail "Info.plist: CFBundleIdentifier is no string or RuvizuvePackFormat no integer"

if ((failures)); then
  echo "macos_bundle_check: $failures failed" >&2
  exit 1
fi
echo "macos_bundle_check: the universal bundle is as expected"
