#!/usr/bin/env bash
# Prints the CTest label expression of the suites that run under the sanitizers (empty if none exist yet).
cd "$(dirname "$0")/.."
labels=()
[[ -f os/xpc/CMakeLists.txt ]] && labels+=(ipc)
[[ -f "apple/macOS/Browser Helper/CMakeLists.txt" ]] && labels+=(broker)
[[ -f tools/tessaly-nm-host/CMakeLists.txt ]] && labels+=(nmhost)
(IFS='|'; echo "${labels[*]}")
