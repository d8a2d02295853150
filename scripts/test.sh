#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and integration suites, the sanitizer
# builds of the IPC and broker code, and a short fuzzing run of every parser that hostile bytes reach.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/format.sh --check
scripts/build.sh
ctest --preset default --no-tests=error
# The platform library installed and used by the README's C example, through pkg-config.
scripts/host-example.sh build

# Sanitizer builds: only the suites that run threads and sockets (their build presets build only those).
for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" --no-tests=error -L 'ipc|broker|nmhost'
done

# A short fuzzing run of every parser that hostile bytes reach (libFuzzer needs clang): each target starts
# from its seed corpus and regression inputs, and the targets share TESSALY_FUZZ_SECONDS (60 s) between them.
if command -v clang++ >/dev/null; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  mapfile -t fuzzers < build-fuzz/fuzz-targets.tsv
  share=$(( ${TESSALY_FUZZ_SECONDS:-60} / ${#fuzzers[@]} ))
  (( share > 0 )) || share=1
  for line in "${fuzzers[@]}"; do
    IFS=$'\t' read -r name program seeds dict maxlen <<<"$line"
    mkdir -p "build-fuzz/corpus/$name" build-fuzz/findings
    options=(-max_total_time="$share" -max_len="$maxlen" -print_final_stats=0 -artifact_prefix=build-fuzz/findings/)
    [[ $dict != - ]] && options+=(-dict="$dict")
    log="build-fuzz/findings/$name.log"
    if ! "$program" "${options[@]}" "build-fuzz/corpus/$name" "$seeds" >"$log" 2>&1; then
      tail -n 60 "$log"
      echo "fuzz: $name found a problem; the input is in build-fuzz/findings/" >&2
      exit 1
    fi
    tail -n 1 "$log"
    echo "fuzz: $name ran $share s without a finding"
  done
fi
