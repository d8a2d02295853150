#!/usr/bin/env bash
# The agent under a real systemd user manager, with the socket and service units the build installs.
#
#   systemd_user_test.sh BUNDLE UNIT_DIR DEV_PKI PEER_TOOL CODESIGN_TOOL AGENT_IDENTIFIER
#
# Runs as root in a private mount namespace: a tmpfs on /run/systemd with an empty /run/systemd/system (so that
# `systemd --user` runs without a system manager), a tmpfs on /Applications holding a copy of BUNDLE, and a
# private XDG_RUNTIME_DIR. It starts and stops a manager of its own and never touches the machine's. It checks:
# the agent is started by the first connection; it is started again after the service stopped; the socket goes
# when the socket unit stops; the unit's descriptor limit; a socket passed by systemd-socket-activate under a
# name that is not the service's is adopted with the connection that caused the start.
# Exit status 0 when all holds, 77 (skipped) when this machine cannot run it, 1 otherwise.
set -euo pipefail

usage() { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; }
if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  usage
  exit 0
fi
if (($# < 6)); then
  usage >&2
  exit 2
fi

skip() {
  echo "SKIP: $*"
  exit 77
}

manager=/lib/systemd/systemd
for tool in "$manager" /usr/bin/systemctl /usr/bin/systemd-socket-activate /usr/bin/unshare; do
  [[ -x $tool ]] || skip "$tool is missing (Debian packages systemd and util-linux)"
done
[[ $(id -u) == 0 ]] || skip "needs root, for a private mount namespace"

if [[ ${TESSALY_SYSTEMD_TEST_INSIDE:-} != 1 ]]; then
  if ! /usr/bin/unshare -m --propagation private true 2>/dev/null; then
    skip "this machine allows no private mount namespace"
  fi
  [[ -d /Applications ]] || mkdir /Applications
  exec env TESSALY_SYSTEMD_TEST_INSIDE=1 /usr/bin/unshare -m --propagation private "$0" "$@"
fi

bundle=$(realpath "$1")
unit_dir=$(realpath "$2")
pki=$(realpath "$3")
peer_tool=$(realpath "$4")
codesign=$(realpath "$5")
identifier=$6
executable="/Applications/$(basename "$bundle")/Contents/MacOS/$(basename "$bundle" .app)"

scratch=$(mktemp -d /tmp/tessaly-systemd-test-XXXXXX)
manager_pid=""
activator_pid=""
cleanup() {
  [[ -n $activator_pid ]] && kill "$activator_pid" 2>/dev/null && wait "$activator_pid" 2>/dev/null
  if [[ -n $manager_pid ]]; then
    kill "$manager_pid" 2>/dev/null || true
    wait "$manager_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
eventually() {  # eventually COMMAND...: true once COMMAND is, within 20 s
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

mount -t tmpfs tmpfs /run/systemd
mkdir /run/systemd/system
mount -t tmpfs tmpfs /Applications
cp -a "$bundle" /Applications/

export HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config XDG_RUNTIME_DIR=$scratch/run
unset TESSALY_XPC_DIR TESSALY_LOG LISTEN_PID LISTEN_FDS LISTEN_FDNAMES DBUS_SESSION_BUS_ADDRESS
mkdir -p -m 0700 "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/systemd/user"
units=$XDG_CONFIG_HOME/systemd/user
cp "$unit_dir/tessaly-browser-helper.socket" "$unit_dir/tessaly-browser-helper.service" "$units/"
mkdir -p "$units/tessaly-browser-helper.service.d"
agent_log=$scratch/agent.log
cat >"$units/tessaly-browser-helper.service.d/test.conf" <<EOF
[Service]
Environment=TESSALY_TRUST_ANCHORS=$pki/anchors TESSALY_LOG=stderr TESSALY_URL_OPENER=$scratch/opener
StandardOutput=append:$agent_log
StandardError=append:$agent_log
EOF
# A URL opener that takes its time to start the desktop app, then says it did.
printf '#!/bin/sh\nsleep 2\necho "$1" >> "%s/opened"\n' "$scratch" >"$scratch/opener"
chmod +x "$scratch/opener"
# The manager starts this target and nothing else of the machine's user units.
printf '[Unit]\nDescription=Nothing but what the test starts\n' >"$units/tessaly-test.target"

peer=$scratch/peer
cp "$peer_tool" "$peer"
"$codesign" sign --identity "$pki/identities/developer-id" --identifier com.tessaly.systemd-test-peer "$peer" >/dev/null
echo_peer() {  # echo_peer TEXT: the agent's answer
  TESSALY_TRUST_ANCHORS=$pki/anchors "$peer" echo "$1" 2>>"$scratch/peer.log"
}

"$manager" --user --unit=tessaly-test.target >"$scratch/manager.log" 2>&1 &
manager_pid=$!
if ! eventually test -S "$XDG_RUNTIME_DIR/systemd/private"; then
  cat "$scratch/manager.log"
  echo "FAILED: the user manager did not come up"
  exit 1
fi
sctl() { systemctl --user --no-pager "$@"; }

socket=$XDG_RUNTIME_DIR/app/com.tessaly.xpc/$identifier
service_active() { [[ $(sctl is-active tessaly-browser-helper.service) == active ]]; }
service_inactive() { [[ $(sctl is-active tessaly-browser-helper.service) != active ]]; }
starts() { grep -c '^<6>Starting listener$' "$agent_log" 2>/dev/null || true; }

sctl start tessaly-browser-helper.socket
check "the socket unit listens on the service's socket" test -S "$socket"
check "the agent is not started before anyone connects" service_inactive

check "the first connection starts the agent, which answers it" test "$(echo_peer 'first')" == first
check "the agent runs as the service" eventually service_active
check "it adopted the socket systemd passed" grep -q 'listening on the socket passed by systemd' "$agent_log"
main_pid=$(sctl show -p MainPID --value tessaly-browser-helper.service)
# LimitNOFILE=65536, or as close as the manager's own hard limit allows; the agent raises its soft limit to it.
hard_limit=$(ulimit -Hn)
expected_limit=$((hard_limit < 65536 ? hard_limit : 65536))
check "the unit raises the agent's descriptor limit (to $expected_limit)" \
  grep -Eq "^Max open files +$expected_limit +$expected_limit " "/proc/$main_pid/limits"

sctl stop tessaly-browser-helper.service
check "the service stops" eventually service_inactive
check "the socket stays while the socket unit listens" test -S "$socket"
check "the next connection starts the agent again" test "$(echo_peer 'again')" == again
check "it was started twice" test "$(starts)" == 2

# A request while no desktop app is connected starts the opener; stopping the agent does not stop the opener.
(printf '{"op":"send","id":1,"body":"aGk="}\n'; sleep 1) |
  TESSALY_TRUST_ANCHORS=$pki/anchors "$peer" session >/dev/null 2>>"$scratch/peer.log" || true
sctl stop tessaly-browser-helper.service
check "the service stops while its URL opener runs" eventually service_inactive
check "the URL opener in flight finishes after the agent stopped" eventually test -s "$scratch/opened"

sctl stop tessaly-browser-helper.socket
check "the service stops with its socket unit" eventually service_inactive
check "the socket is removed when the socket unit stops" eventually test ! -e "$socket"

kill "$manager_pid"
wait "$manager_pid" 2>/dev/null || true
manager_pid=""

# systemd's own tool, without --fdname: the socket reaches the agent under another name ("unknown"). The peer
# connects before the agent runs; its connection is the one that starts the agent, and it must be answered.
adopted=$scratch/adopted
mkdir -m 0700 "$adopted"
/usr/bin/systemd-socket-activate -l "$adopted/$identifier" \
  -E TESSALY_XPC_DIR="$adopted" -E TESSALY_TRUST_ANCHORS="$pki/anchors" -E TESSALY_LOG=stderr \
  -E TESSALY_URL_OPENER=/bin/true "$executable" >"$scratch/activated.log" 2>&1 &
activator_pid=$!
eventually test -S "$adopted/$identifier" || true
answer=$(TESSALY_XPC_DIR=$adopted echo_peer 'activated' || true)
check "systemd-socket-activate under another name: the first peer is answered" test "$answer" == activated
check "the agent adopted that socket by its path" grep -q 'adopted by its path' "$scratch/activated.log"

if ((failures > 0)); then
  for log in "$agent_log" "$scratch/activated.log" "$scratch/manager.log" "$scratch/peer.log"; do
    echo "--- $log"
    cat "$log" 2>/dev/null || true
  done
  exit 1
fi
echo "systemd user manager: all checks passed"
