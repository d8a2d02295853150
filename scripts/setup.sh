#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demonstration need. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3 git clang-format
  clang libclang-rt-14-dev
  libsimdjson-dev libasio-dev libssl-dev libplist-dev libsystemd-dev libsecret-1-dev libcli11-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libboost-json1.81-dev
  gnome-keyring dbus dbus-x11 util-linux procps systemd
  chromium firefox-esr
  tpm2-openssl libtss2-tcti-swtpm0 swtpm
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages are installed"
  exit 0
fi

sudo=""
if [[ $(id -u) != 0 ]]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
