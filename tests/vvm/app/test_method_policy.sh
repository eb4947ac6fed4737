#!/usr/bin/env bash
# The deployed bus policy keeps "test" to root: on a private bus configured like the system bus
# and including packaging/dbus/com.quor.kelvvm.conf, a caller running as nobody may ping
# kelvvm but its "test" call is refused by the bus and never reaches the service; root's is
# served.
set -u
# shellcheck source=../../support/system_like_bus.sh
. "$(dirname "$0")/../../support/system_like_bus.sh"
kelvvm=$1 tamo_send=$2 dbus_daemon=$3 policy=$4
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: switching to the user nobody needs root"
  exit 77
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dir=$(mktemp -d /tmp/kelvvm-policy-XXXXXX)
chmod 755 "$dir"
# nobody runs its own copy: the checkout may sit where nobody cannot enter (a clone under /root).
cp "$tamo_send" "$dir/tamo-send"
start_system_like_bus "$dir" "$dbus_daemon" "<include>$policy</include>"
export TAMO_BUS_ADDRESS=$address

QMLOG_STDERR=1 KELVVM_CONFIG=/nonexistent TAMO_SYSTEM_PROPERTIES=/nonexistent \
  "$kelvvm" -n -f "$dir/media/" 2>"$dir/kelvvm.log" &
kelvvm_pid=$!
trap 'kill $kelvvm_pid $bus_pid 2>/dev/null; wait $kelvvm_pid 2>/dev/null; rm -rf "$dir"' EXIT
as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

for _ in $(seq 100); do
  [[ $(timeout 5 "$tamo_send" quor://com.quor.kelvvm/ping '{}' 2>/dev/null) == '{}' ]] && break
  sleep 0.1
done

reply=$(as_nobody timeout 5 "$dir/tamo-send" quor://com.quor.kelvvm/ping '{"a":1}' 2>&1)
[[ $reply == '{"a":1}' ]] || fail "nobody's ping: $reply"

reply=$(as_nobody timeout 5 "$dir/tamo-send" quor://com.quor.kelvvm/test '{"method":"none"}' 2>&1)
[[ $reply == '{"returnValue":false,"errorCode":-1,"errorText":"Rejected send message'*'member=\"test\"'* ]] ||
  fail "nobody's test was not refused by the bus: $reply"
grep -q handleTest "$dir/kelvvm.log" && fail "nobody's test reached kelvvm"

reply=$(timeout 5 "$tamo_send" quor://com.quor.kelvvm/test '{"method":"none"}' 2>&1)
[[ $reply == '{"returnValue":false,"error":"Unknown method or invalid parameters"}' ]] ||
  fail "root's test: $reply"
grep -q 'handleTest: {"method":"none"}' "$dir/kelvvm.log" || fail "root's test did not reach kelvvm"

[[ $failures -eq 0 ]] && echo "the bus policy keeps test to root"
exit $((failures > 0))
