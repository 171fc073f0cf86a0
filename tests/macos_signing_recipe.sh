#!/usr/bin/env bash
# Runs the README's signing recipe on a bundle of hand-made Mach-O headers, with codesign and
# xattr stubbed: it must be valid bash, clear the extended attributes before signing anything,
# sign every piece of code from the inside out with the entitlements on programs only, and stop at
# the first signature that fails, loops included.
# Usage: macos_signing_recipe.sh README.md
set -euo pipefail

readme="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "macos_signing_recipe: $*" >&2; failures=$((failures + 1)); }

# The first bash block after the signing paragraph.
awk '/^\*\*Signing\.\*\*/ {s = 1} s && /^```bash$/ {f = 1; next} f && /^```$/ {exit} f' \
  "$readme" >"$work/recipe.sh"
[[ -s "$work/recipe.sh" ]] || { echo "macos_signing_recipe: no recipe in $readme" >&2; exit 1; }
bash -n "$work/recipe.sh" || { echo "macos_signing_recipe: the recipe is not valid bash" >&2; exit 1; }

# A 64-bit arm64 Mach-O header of the given file type (2 a program, 6 a library, 8 a bundle such
# as an extension module), enough for file(1) to tell which.
macho() {
  mkdir -p "$(dirname "$1")"
  local type
  type="\\$(printf '%03o' "$2")"
  { printf '\317\372\355\376\014\000\000\001\000\000\000\000'"$type"'\000\000\000'
    head -c 64 /dev/zero; } >"$1"
}

# The stubs log a line a call: codesign the path it signs and whether it gave entitlements, and
# fails for the path in FAIL_ON.
mkdir -p "$work/bin"
cat >"$work/bin/codesign" <<'EOF'
#!/usr/bin/env bash
given=plain
[[ " $* " == *" --entitlements "* ]] && given=entitled
printf 'codesign\t%s\t%s\n' "$given" "${*: -1}" >>"$LOG"
[[ -z "${FAIL_ON:-}" || "${*: -1}" != "$FAIL_ON" ]]
EOF
cat >"$work/bin/xattr" <<'EOF'
#!/usr/bin/env bash
echo "xattr $*" >>"$LOG"
EOF
chmod +x "$work/bin/codesign" "$work/bin/xattr"

app="Rivuderu Zororez Udod.app"
q="$app/Contents/Resources/quality"
framework="$q/python/Python.framework/Versions/3.11"
lay_out() {
  rm -rf "$work/pack"
  mkdir -p "$work/pack"
  cd "$work/pack"
  macho "$app/Contents/MacOS/quality-pack" 2
  macho "$q/python/bin/python3.11" 2
  ln -s python3.11 "$q/python/bin/python3"
  macho "$q/python/lib/python3.11/site-packages/torch/lib/libtorch_cpu.dylib" 6
  macho "$q/python/lib/python3.11/site-packages/torch/_C.cpython-311-darwin.so" 8
  macho "$q/python/lib/python3.11/site-packages/torch/bin/torch_shm_manager" 2
  echo 'import torch' >"$q/python/lib/python3.11/site-packages/probe.py"
  macho "$framework/Python" 6
  macho "$framework/Resources/Python.app/Contents/MacOS/Python" 2
  ln -s 3.11 "$q/python/Python.framework/Versions/Current"
}

# The recipe run on a fresh bundle; its status, with the calls logged in $work/log.
run() {
  lay_out
  rm -f "$work/log"
  set +e
  LOG="$work/log" FAIL_ON="$1" PATH="$work/bin:$PATH" bash "$work/recipe.sh" >"$work/out" 2>&1
  local status=$?
  set -e
  return $status
}

# The path each codesign call signed, in order; those signed with entitlements.
signed() { awk -F'\t' '$1 == "codesign" {print $3}' "$work/log"; }
entitled() { awk -F'\t' '$2 == "entitled" {print $3}' "$work/log" | sort; }

run "" || fail "the recipe failed with every signature made: $(cat "$work/out")"
[[ "$(head -n 1 "$work/log")" == "xattr -cr $app" ]] ||
  fail "the extended attributes are not cleared first: $(head -n 1 "$work/log")"
expected_signed="$(printf '%s\n' "$app" "$q/python/bin/python3.11" "$q/python/lib/python3.11/site-packages/torch/lib/libtorch_cpu.dylib" \
  "$q/python/lib/python3.11/site-packages/torch/_C.cpython-311-darwin.so" \
  "$q/python/lib/python3.11/site-packages/torch/bin/torch_shm_manager" "$framework/Python" \
  "$framework/Resources/Python.app/Contents/MacOS/Python" "$framework/Resources/Python.app" \
  "$framework" | sort)"
[[ "$(signed | sort)" == "$expected_signed" ]] ||
  fail "signed, once each, not every piece of code: $(signed | sort | tr '\n' '|')"
expected_entitled="$(printf '%s\n' "$app" "$q/python/bin/python3.11" \
  "$q/python/lib/python3.11/site-packages/torch/bin/torch_shm_manager" \
  "$framework/Resources/Python.app/Contents/MacOS/Python" "$framework/Resources/Python.app" | sort)"
[[ "$(entitled)" == "$expected_entitled" ]] ||
  fail "entitlements not on the programs and quality-pack alone: $(entitled | tr '\n' '|')"
[[ "$(signed | tail -n 1)" == "$app" ]] || fail "the bundle is not signed last"
# Inside out: nothing is signed after what holds it.
mapfile -t order < <(signed)
for ((i = 0; i < ${#order[@]}; i++)); do
  for ((j = i + 1; j < ${#order[@]}; j++)); do
    [[ "${order[j]}" == "${order[i]}"/* ]] && fail "${order[j]} signed after ${order[i]}, which holds it"
  done
done

# A failed signature stops the recipe there, in each loop and at the end.
for failing in "$q/python/lib/python3.11/site-packages/torch/lib/libtorch_cpu.dylib" \
  "$q/python/bin/python3.11" "$framework/Resources/Python.app" "$app"; do
  if run "$failing"; then
    fail "the recipe succeeded although signing $failing failed"
  fi
  [[ "$(signed | tail -n 1)" == "$failing" ]] ||
    fail "signing went on after $failing failed: $(signed | tail -n 1)"
  grep -q '^Signed:' "$work/out" && fail "the recipe says it signed the pack after $failing failed"
done

if ((failures)); then
  echo "macos_signing_recipe: $failures failed" >&2
  exit 1
fi
echo "macos_signing_recipe: the recipe signs inside out and stops at the first failure"
