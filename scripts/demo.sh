#!/usr/bin/env bash
# Installs what is needed, builds, and shows the message model at work with tessaly-model.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
tool=build/bin/tessaly-model

step() { printf '\n== %s\n' "$*"; }

step "The model: $($tool schema | python3 -c 'import json,sys; t=json.load(sys.stdin)["types"]; print(len(t), "types:", sum(x["shape"]=="record" for x in t), "records,", sum(x["shape"]=="enumeration" for x in t), "enumerations,", sum(x["shape"]=="union" for x in t), "tagged unions")')"

step "An extension asks for the accounts (members in any order, unknown ones ignored)"
request='{"invocation":{"type":"NmRequestAccounts","content":{"version":1}},"callbackId":12,"extra":true}'
echo "received: $request"
echo "read as:  $(echo "$request" | $tool decode CoreNmhRequest)"

step "Documents that do not fit are refused with the exact error"
printf '%s\n' \
  '{"type":"CoreNmhRequest","json":"{\"callbackId\":7,\"invocation\":{\"type\":\"nmLockState\"}}"}' \
  '{"type":"CoreNmhRequest","json":"{\"callbackId\":-1,\"invocation\":{\"type\":\"Lock\"}}"}' \
  '{"type":"CoreNmhRequest","json":"{\"callbackId\":7}"}' \
  '{"type":"CoreNmLockStateResponse","json":"{\"lockState\":\"Unknown\"}"}' \
  '{"type":"CoreNmhResponse","json":"{\"type\":\"Failure\",\"content\":{\"callbackId\":3,\"response\":{\"type\":\"UnableToProcessRequest\",\"content\":null}}}"}' \
  | $tool check

step "The app-quit notification as a native-messaging frame (56 bytes)"
echo '{"type":"Notification","content":{"type":"AppQuit"}}' | $tool frame CoreNmhResponse | od -A d -t x1 | head -n 4
