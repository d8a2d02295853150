#!/usr/bin/env bash
# Lays out the tracked C and C++ sources with .clang-format, or checks that they already are. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'USAGE'
Usage: scripts/format.sh [--check]

Without options, rewrites every tracked C and C++ source (.c, .cpp, .h) in place with clang-format and the
project's .clang-format. With --check, changes nothing and fails, naming each file and line, if any source is
laid out differently. Generated sources live in build folders and are never tracked, so never touched.
USAGE
}

mode=apply
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  --check) mode=check ;;
  "") ;;
  *) usage >&2; exit 2 ;;
esac

mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cpp' '*.h')
if ((${#files[@]} == 0)); then
  echo "format: no C or C++ sources are tracked" >&2
  exit 2
fi
if [[ $mode == check ]]; then
  clang-format --dry-run --Werror "${files[@]}"
  echo "format: ${#files[@]} sources are laid out as .clang-format says"
else
  clang-format -i "${files[@]}"
  echo "format: laid out ${#files[@]} sources"
fi
