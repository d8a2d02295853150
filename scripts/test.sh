#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the unit and integration suites, the sanitizer
# builds of the IPC and broker code, and a short fuzzing run of the model reader.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh
ctest --preset default
# The platform library installed and used by the README's C example, through pkg-config.
scripts/host-example.sh build

# Sanitizer builds: only the areas that run threads and sockets, and only their tests.
for preset in asan tsan; do
  labels=$(scripts/sanitized-labels.sh)
  if [[ -z $labels ]]; then break; fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target sanitized_tests
  ctest --preset "$preset" -L "$labels"
done

# A short fuzzing run of the envelope reader (libFuzzer needs clang).
if command -v clang++ >/dev/null; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz --target model_fuzz
  mkdir -p build-fuzz/corpus
  build-fuzz/bin/model_fuzz -max_total_time="${TESSALY_FUZZ_SECONDS:-60}" -max_len=4096 -print_final_stats=0 \
    -dict=model/src/model_fuzz.dict build-fuzz/corpus model/fuzz_corpus 2>&1 | tail -n 2
  echo "fuzz: model_fuzz finished without a crash"
fi
