#!/usr/bin/env bash
# Runs a program against a real Secret Service: a D-Bus session bus of its own with gnome-keyring's secrets
# component, whose login keyring is created and unlocked with a throwaway password. HOME and the XDG folders
# point into a temporary folder that is removed afterwards, so the user's own keyring is never touched.
# Works without a display and as root.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: run-with-keyring.sh [--without-login-keyring] PROGRAM [ARGUMENT...]

Starts a private D-Bus session (dbus-run-session) with gnome-keyring-daemon --unlock --components=secrets,
runs PROGRAM in it and exits with PROGRAM's status. Every folder the keyring writes to lies under a
temporary folder that is deleted at the end.

  --without-login-keyring   start the daemon without creating a login keyring, so the service has no
                            default collection (a user who never set up a keyring)
USAGE
}

keyring=login
if [[ ${1:-} == --without-login-keyring ]]; then
  keyring=none
  shift
fi
if [[ $# -lt 1 || $1 == --help || $1 == -h ]]; then
  usage
  [[ $# -ge 1 ]] && exit 0 || exit 2
fi
for tool in dbus-run-session gnome-keyring-daemon; do
  if ! command -v "$tool" >/dev/null; then
    echo "run-with-keyring.sh: $tool is not installed (scripts/setup.sh installs it)" >&2
    exit 1
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-keyring.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/home" "$scratch/runtime"
export HOME="$scratch/home"
export XDG_RUNTIME_DIR="$scratch/runtime"
export XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" XDG_CACHE_HOME="$HOME/.cache"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK
export TESSALY_KEYRING_PASSWORD="throwaway-$$-$RANDOM" TESSALY_KEYRING=$keyring

status=0
dbus-run-session -- bash -c '
  set -euo pipefail
  # With --unlock the daemon reads the password from standard input, creates the login keyring with it
  # when there is none and unlocks it; the first process returns once the daemon owns its bus names.
  if [[ $TESSALY_KEYRING == login ]]; then
    printf "%s" "$TESSALY_KEYRING_PASSWORD" \
      | gnome-keyring-daemon --unlock --components=secrets >"$XDG_RUNTIME_DIR/keyring.env"
  else
    gnome-keyring-daemon --start --components=secrets >"$XDG_RUNTIME_DIR/keyring.env" 2>/dev/null
  fi
  exec "$@"
' run-with-keyring "$@" || status=$?
exit "$status"
