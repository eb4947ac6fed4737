#!/usr/bin/env bash
# tamo-send against a private bus: help, failures with a message and a non-zero exit, replies,
# payloads from standard input and files.
set -u
tamo_send=$1 dbus_daemon=$2 config=$3
failures=0
check() { # description, expected status, command...
  local what=$1 want=$2; shift 2
  local out status
  out=$("$@" 2>&1); status=$?
  if [[ $status -ne $want ]]; then
    echo "FAIL: $what: status $status, expected $want: $out"; failures=$((failures + 1))
  fi
  printf '%s' "$out"
}

help=$(check "help" 0 "$tamo_send" -h)
[[ $help == *"Usage:"* ]] || { echo "FAIL: help text"; failures=$((failures + 1)); }

msg=$(TAMO_BUS_ADDRESS=unix:path=/nonexistent/bus check "unreachable bus" 1 "$tamo_send" quor://com.quor.x/m)
[[ $msg == *"cannot reach the bus"* ]] || { echo "FAIL: unreachable bus message: $msg"; failures=$((failures + 1)); }

exec 3< <(env -u TAMO_BUS_ADDRESS "$dbus_daemon" --config-file="$config" --fork --print-address=1 --print-pid=1 2>/dev/null)
read -r address <&3; read -r pid <&3; exec 3<&-
trap 'kill $pid' EXIT
export TAMO_BUS_ADDRESS=$address

msg=$(check "bad URI" 1 "$tamo_send" 'com.quor.x/m')
[[ $msg == *"Malformed URI"* ]] || { echo "FAIL: bad URI message: $msg"; failures=$((failures + 1)); }
msg=$(check "bad JSON" 1 "$tamo_send" quor://com.quor.x/m '{nope')
[[ $msg == *"not JSON"* ]] || { echo "FAIL: bad JSON message: $msg"; failures=$((failures + 1)); }
check "bad count" 2 "$tamo_send" -n x quor://com.quor.x/m >/dev/null
# A missing service answers with the failure payload, and tamo-send ends after it.
msg=$(check "missing service" 0 timeout 5 "$tamo_send" -n 3 quor://com.quor.nobody/m '{"subscribe":true}')
[[ $msg == '{"returnValue":false,"errorCode":-1,"errorText":'* ]] || { echo "FAIL: missing service: $msg"; failures=$((failures + 1)); }

# A JSON text that is not an object or an array is named for what it is.
for scalar in 42 '"text"' true null; do
  msg=$(check "scalar $scalar" 1 "$tamo_send" quor://com.quor.x/m "$scalar")
  [[ $msg == *"must be a JSON object or array"* ]] || { echo "FAIL: scalar $scalar: $msg"; failures=$((failures + 1)); }
done
# -e: a refusal in a reply makes the exit status 3, for scripts.
check "refused reply with -e" 3 timeout 5 "$tamo_send" -e quor://com.quor.nobody/m >/dev/null
# -m says when nobody owns the service whose signals it waits for (SIGINT ends the wait).
msg=$(check "monitor of nobody" 0 timeout -s INT 1 "$tamo_send" -m quor://com.quor.nobody/a)
[[ $msg == *"nobody owns com.quor.nobody"* ]] || { echo "FAIL: monitor of nobody: $msg"; failures=$((failures + 1)); }

# The activation round trip: the bus starts kelvvm from the build tree, which echoes.
msg=$(KELVVM_CONFIG=/nonexistent check "ping" 0 timeout 10 "$tamo_send" quor://com.quor.kelvvm/ping '{"a":1}')
[[ $msg == '{"a":1}' ]] || { echo "FAIL: ping: $msg"; failures=$((failures + 1)); }
# Payloads from standard input and from a file, one too long for a command line among them.
msg=$(echo '{"b":2}' | check "payload from stdin" 0 timeout 10 "$tamo_send" -f - quor://com.quor.kelvvm/ping)
[[ $msg == '{"b":2}' ]] || { echo "FAIL: payload from stdin: $msg"; failures=$((failures + 1)); }
# Input loses one final line end (LF or CRLF), as shells do; ping echoes what it got, so a kept
# one would show as a blank line before the closing ".".
crlf=$(mktemp)
printf '{"c":3}\r\n' >"$crlf"
msg=$(echo '{"b":2}' | timeout 10 "$tamo_send" -f - quor://com.quor.kelvvm/ping
      timeout 10 "$tamo_send" -f "$crlf" quor://com.quor.kelvvm/ping
      printf '{"d":4}\n\n' | timeout 10 "$tamo_send" -f - quor://com.quor.kelvvm/ping
      echo .)
[[ $msg == $'{"b":2}\n{"c":3}\n{"d":4}\n\n.' ]] || { echo "FAIL: final line end: $(printf '%q' "$msg")"; failures=$((failures + 1)); }
rm -f "$crlf"
large=$(mktemp)
printf '{"blob":"%s"}' "$(head -c 3000000 /dev/zero | tr '\0' x)" >"$large"
msg=$(check "payload from a file" 0 timeout 10 "$tamo_send" -f "$large" quor://com.quor.kelvvm/ping)
[[ $msg == "$(cat "$large")" ]] || { echo "FAIL: payload from a file: ${#msg} bytes"; failures=$((failures + 1)); }
rm -f "$large"
check "missing file" 1 "$tamo_send" -f /nonexistent/payload quor://com.quor.kelvvm/ping >/dev/null
check "payload twice" 2 "$tamo_send" -f - quor://com.quor.kelvvm/ping '{}' >/dev/null

[[ $failures -eq 0 ]] && echo "all tamo-send checks passed"
exit $((failures > 0))
