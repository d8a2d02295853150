#!/usr/bin/env bash
# Long fuzzing runs by hand, one target at a time in one process. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'EOF'
Usage: scripts/fuzz.sh TARGET SECONDS [LIBFUZZER_OPTION...]
       scripts/fuzz.sh --list
       scripts/fuzz.sh --help

Builds TARGET in the fuzz preset (clang, libFuzzer, ASan+UBSan) and fuzzes it for SECONDS in one process,
starting from the seed corpus kept in the repository. New inputs go to the grown corpus outside the repository,
build-fuzz/corpus/TARGET (or $TESSALY_FUZZ_CORPUS_DIR/TARGET), which later runs start from as well. At the end
it prints the executions per second and the number of inputs run.

A finding is written to build-fuzz/findings/TARGET/ (crash-*, leak-*, timeout-*, oom-*); after fixing its
cause, keep it as a regression input in the target's seed corpus. Options after SECONDS go to libFuzzer as they
are (e.g. -jobs=2 -workers=2 when the machine is free).

  --list   prints the targets: name, seed corpus, dictionary
EOF
}

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
esac

cmake --preset fuzz >/dev/null
targets=build-fuzz/fuzz-targets.tsv
if [[ $1 == --list ]]; then
  cut -f1,3,4 "$targets"
  exit 0
fi
if [[ $# -lt 2 || ! $2 =~ ^[0-9]+$ ]]; then usage >&2; exit 2; fi
target=$1
seconds=$2
shift 2

line=$(awk -F'\t' -v t="$target" '$1 == t' "$targets")
if [[ -z $line ]]; then
  echo "fuzz.sh: no fuzz target '$target'; the targets are:" >&2
  cut -f1 "$targets" >&2
  exit 2
fi
IFS=$'\t' read -r _ program seeds dict maxlen <<<"$line"
cmake --build --preset fuzz --target "$target"

grown="${TESSALY_FUZZ_CORPUS_DIR:-$PWD/build-fuzz/corpus}/$target"
findings="$PWD/build-fuzz/findings/$target"
mkdir -p "$grown" "$findings"
options=(-max_total_time="$seconds" -max_len="$maxlen" -print_final_stats=1 -artifact_prefix="$findings/")
[[ $dict != - ]] && options+=(-dict="$dict")

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$program" "${options[@]}" "$@" "$grown" "$seeds" 2>&1 | tee "$log" | grep -E '^(#[0-9]+.*(INITED|DONE|pulse))|ERROR|SUMMARY|Test unit written' || true
status=${PIPESTATUS[0]}

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n1)
echo "fuzz: $target: ${runs:-?} inputs in ${took:-?} s, ${speed:-?} executions per second; grown corpus $grown ($(ls "$grown" | wc -l) inputs)"
if [[ $status -ne 0 ]]; then
  echo "fuzz: $target found a problem (exit $status); the input is in $findings" >&2
fi
exit "$status"
