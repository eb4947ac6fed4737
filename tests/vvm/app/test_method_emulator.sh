#!/usr/bin/env bash
# The diagnostic method as a developer uses it: nimbos-emulator runs the device and the carrier,
# its bus starts kelvvm of the build tree on the first call, tamo-send calls "test".
set -u
emulator=$1 tamo_send=$2 service_dir=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect() { # description, expected reply, payload
  local reply
  reply=$(timeout 20 "$tamo_send" quor://com.quor.kelvvm/test "$3" 2>&1)
  [[ $reply == "$2" ]] || fail "$1: $reply"
}

state=$(mktemp -d /tmp/kelvvm-test-method-XXXXXX)
cat >"$state/config.json" <<EOF
{
  "db": {"file": ":memory:"},
  "voicemail": {"account": {"userId": "33612345678"}, "calls": [{"id": "7", "duration": 1}]},
  "settings": {"kelvvm": {"test": {"download-folder": "$state/diagnostics"}}}
}
EOF
mkdir "$state/diagnostics"
env -u TAMO_BUS_ADDRESS "$emulator" --config "$state/config.json" --state-dir "$state" \
  --service-dir "$service_dir" >"$state/emulator.out" 2>&1 &
emulator_pid=$!
trap 'kill $emulator_pid; wait $emulator_pid; rm -rf "$state"' EXIT
for _ in $(seq 100); do
  [[ -f $state/env ]] && break
  sleep 0.1
done
[[ -f $state/env ]] || { echo "FAIL: the emulator did not get ready: $(cat "$state/emulator.out")"; exit 1; }
# shellcheck disable=SC1091
. "$state/env"

expect "subscribe" '{"returnValue":true,"result":{"type":"OK","out":"OK"}}' '{"method":"subscribe"}'
expect "getUserProfile" \
  '{"returnValue":true,"result":{"type":"UserProfile","id":"33612345678","vvmInscription":true,"defaultInvite":true}}' \
  '{"method":"getUserProfile"}'

expect "createMailbox" '{"returnValue":true}' '{"method":"createMailbox"}'
found=
for _ in $(seq 50); do
  found=$("$tamo_send" quor://com.quor.db/find '{"query":{"from":"com.quor.vvm.kelmailbox:1"}}')
  [[ $found == *'"voicemailNumber":"123"'* ]] && break
  sleep 0.1
done
[[ $found == *'"voicemailNumber":"123"'* ]] || fail "no mailbox record stored: $found"

# Downloads go only to the media folder or the diagnostic folder of the settings.
mailbox=$("$tamo_send" quor://com.quor.carrier.voicemail/emulator/mailbox)
audio=$(sed -n 's/.*"audioUrl":"\([^"]*\)".*/\1/p' <<<"$mailbox")
expect "downloadFile" '{"returnValue":true}' \
  "{\"method\":\"downloadFile\",\"url\":\"$audio\",\"loc\":\"$state/diagnostics/7.amr\"}"
[[ $(head -c 6 "$state/diagnostics/7.amr") == '#!AMR' ]] || fail "downloaded file"
expect "downloadFile elsewhere" \
  "{\"returnValue\":false,\"error\":\"Download location outside the media folder: $state/7.amr\"}" \
  "{\"method\":\"downloadFile\",\"url\":\"$audio\",\"loc\":\"$state/7.amr\"}"
[[ -e $state/7.amr ]] && fail "a file was written outside"

reply=$(timeout 20 "$tamo_send" quor://com.quor.kelvvm/test '{"method":"deleteAllMessages"}')
[[ $reply == '{"returnValue":true,"result":[{"_kind":"com.quor.vvm.kelmessages:1",'*'"id":"7",'* ]] ||
  fail "deleteAllMessages: $reply"
expect "getAllMessages after deleteAllMessages" '{"returnValue":true,"result":[]}' \
  '{"method":"getAllMessages"}'

[[ $failures -eq 0 ]] && echo "all diagnostic method checks passed"
exit $((failures > 0))
