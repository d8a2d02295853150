#!/usr/bin/env bash
# Installs what is needed, builds, and runs the demonstration: the signed agent started from under
# /Applications, a signed desktop-app bundle and two signed extension peers talking through it, a peer of
# another team refused, and, when Debian's chromium or firefox-esr is installed, the headless browser's extension
# reaching the desktop app through tessaly-nm-host. TESSALY_BUILD_DIR=DIR uses an existing build instead of
# building build/.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} != --inside ]]; then
  scripts/setup.sh
  if [[ -z ${TESSALY_BUILD_DIR:-} ]]; then
    scripts/build.sh >/dev/null
    export TESSALY_BUILD_DIR=build
  fi
  # The agent runs only from under /Applications. A private mount namespace puts a scratch folder there
  # without touching the machine's own /Applications (which is made, empty, if missing, to mount on).
  sudo=""
  if [[ $(id -u) != 0 ]]; then
    if ! sudo -n true 2>/dev/null; then
      echo "demo: the agent must run from under /Applications; giving it one needs root (or sudo)." >&2
      echo "      Alternatively install it for real: cmake --install build --prefix /" >&2
      exit 1
    fi
    sudo="sudo --preserve-env=TESSALY_BUILD_DIR"
  fi
  $sudo mkdir -p /Applications
  if $sudo unshare --mount --propagation private true 2>/dev/null; then
    exec $sudo unshare --mount --propagation private "$0" --inside
  fi
  # No mount namespace here (a container without CAP_SYS_ADMIN): a scratch folder inside /Applications.
  folder=$($sudo mktemp -d /Applications/tessaly-demo-XXXXXX)
  trap '$sudo rm -rf "$folder"' EXIT
  echo "demo: no private mount namespace; using $folder"
  $sudo python3 scripts/demo/agent_demo.py --build "$TESSALY_BUILD_DIR" --applications "$folder"
  exit
fi

# Inside the private mount namespace: a scratch folder stands in for /Applications.
scratch=$(mktemp -d /tmp/tessaly-demo-apps-XXXXXX)
trap 'umount /Applications 2>/dev/null || true; rm -rf "$scratch"' EXIT
mount --bind "$scratch" /Applications
python3 scripts/demo/agent_demo.py --build "$TESSALY_BUILD_DIR" --applications /Applications
