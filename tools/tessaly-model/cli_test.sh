#!/usr/bin/env bash
# Checks tessaly-model's commands end to end: exit codes, check lines, frames.
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }

"$TOOL" --help >/dev/null || fail "--help"

schema=$("$TOOL" schema)
[[ $schema == '{"types":[{"name":"CoreAccount'* ]] || fail "schema does not start sorted: ${schema:0:60}"
grep -q '{"name":"CoreNmhRequest","shape":"record","fields":\[{"name":"callbackId","kind":"UInt64","optional":false},{"name":"invocation","kind":"CoreNmInvocation","optional":false}\]}' <<<"$schema" \
  || fail "CoreNmhRequest entry"

out=$(printf '%s\n' \
  '{"type":"CoreNmhRequest","json":"{\"invocation\":{\"type\":\"NmLockState\"},\"callbackId\":7}"}' \
  '{"type":"CoreNmhRequest","json":"{\"callbackId\":7}"}' \
  '{"type":"NoSuchType","json":"{}"}' \
  'not json' \
  '{"type":"CoreLockState","json":"Locked"}' \
  '{"type":"CoreNmhRequest","json":"{\"callbackId\":18446744073709551616,\"invocation\":{\"type\":\"Lock\"}}"}' \
  '{"json":{"callbackId":7,"invocation":{"type":"NmRequestAccounts","content":{"version":-9223372036854775809}}},"type":"CoreNmhRequest"}' \
  '{"json":{"callbackId":7,"x":[18446744073709551616],"invocation":{"type":"Lock"}},"type":"CoreNmhRequest"} {}' \
  | "$TOOL" check)
expected='{"ok":"{\"callbackId\":7,\"invocation\":{\"type\":\"NmLockState\"}}"}
{"error":{"kind":"keyNotFound","path":["invocation"],"description":"No value associated with key \"invocation\"."}}
{"error":{"kind":"unknownType","path":[],"description":"No model type is named NoSuchType."}}
{"error":{"kind":"dataCorrupted","path":[],"description":"The input line is not valid JSON."}}
{"error":{"kind":"dataCorrupted","path":[],"description":"The given data was not valid JSON."}}
{"error":{"kind":"dataCorrupted","path":["callbackId"],"description":"Parsed JSON number <18446744073709551616> does not fit in UInt64."}}
{"error":{"kind":"typeMismatch","path":["invocation"],"description":"Wrong type for CoreNmInvocation"}}
{"error":{"kind":"dataCorrupted","path":[],"description":"The input line is not valid JSON."}}'
[[ $out == "$expected" ]] || fail "check lines:
$out"

echo '{"callbackId":1}' | "$TOOL" decode CoreNmhRequest 2>/dev/null && fail "decode should fail"
status=0; echo '{}' | "$TOOL" decode CoreNmhRequest 2>/dev/null || status=$?
[[ $status == 1 ]] || fail "decode error exit status $status"
status=0; "$TOOL" decode 2>/dev/null || status=$?
[[ $status == 2 ]] || fail "usage exit status $status"

frame=$(echo '{"type":"Notification","content":{"type":"AppQuit","content":null}}' | "$TOOL" frame CoreNmhResponse | od -An -tx1 | tr -d ' \n')
[[ ${#frame} == 112 && ${frame:0:8} == 34000000 ]] || fail "app-quit frame: $frame"
echo "tessaly-model cli: all passed"
