#!/usr/bin/env bash
# Builds the C host example of the README against an installed copy of the platform library, the way a host
# application would: `cmake --install` into a scratch prefix, then the compiler flags from pkg-config.
# Usage: scripts/host-example.sh [BUILD_DIR]   (default: build; it must have been built)
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ ${1:-} == --help || ${1:-} == -h ]]; then
  sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
build=${1:-build}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-host.XXXXXX")
trap 'rm -rf "$prefix"' EXIT

cmake --build "$build" --target tessaly_platform >/dev/null
cmake --install "$build" --component platform --prefix "$prefix" >/dev/null
# The example is the README's C block after the marker line, taken as it is.
awk '/^<!-- host-example -->$/ {marked = 1; next} marked && /^```c$/ {inside = 1; next}
     inside && /^```$/ {exit} inside {print}' README.md > "$prefix/host.c"
if [[ ! -s $prefix/host.c ]]; then
  echo "host-example: no C block after '<!-- host-example -->' in README.md" >&2
  exit 1
fi
pcdir=$(dirname "$(find "$prefix" -name tessaly-platform.pc | head -n 1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs tessaly-platform)
# shellcheck disable=SC2086  # the flags are words
cc -std=c11 -Wall -Wextra -Werror -o "$prefix/host" "$prefix/host.c" $flags
libdir=$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir tessaly-platform)
output=$(env TPM2OPENSSL_TCTI=none LD_LIBRARY_PATH="$libdir" "$prefix/host")
echo "host-example: built with pkg-config and ran: $output"
[[ $output == *current_policy* ]]
