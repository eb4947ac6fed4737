#!/usr/bin/env bash
# The installed tree on a bus configured like the system bus: its policy folder and activation
# folder, the daemons activated by the bus. Each activation runs the installed program as its
# unit would: as the unit's user, with the unit's ambient capabilities and no others (the
# bus's own activation stands in for systemd, which CI does not run). Checks: ping answered
# for root and for an unprivileged caller; "test" refused by the bus for that caller and
# served for root; the daemons run as their units' users; "setGreeting" of an unprivileged
# kelvvm reads the caller's file with the caller's own rights.
# Usage: system_bus_test.sh BUILD_DIR PREFIX UNITDIR DBUS_DAEMON
set -u
# shellcheck source=../support/system_like_bus.sh
. "$(dirname "$0")/../support/system_like_bus.sh"
build=$1 prefix=$2 unitdir=$3 dbus_daemon=$4
if [[ $(id -u) -ne 0 ]]; then
  echo "skipped: running the daemons and callers as other users needs root"
  exit 77
fi
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }

# Everything the unprivileged users run or read lives in this world-readable folder: the
# checkout may sit where they cannot enter (a clone under /root).
dir=$(mktemp -d /tmp/kel-system-bus-XXXXXX)
chmod 755 "$dir"
root=$dir/root
bus_pid= emulator_pid=
# The daemons leave when their bus goes.
trap 'kill $emulator_pid $bus_pid 2>/dev/null; wait $emulator_pid 2>/dev/null; rm -rf "$dir"' EXIT
DESTDIR=$root cmake --install "$build" >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; exit 1; }

# The unit's user, or a stand-in where the machine lacks it (the packages create it).
service_user() {
  local user
  user=$(value "$root$unitdir/$1" User)
  user=${user:-root}
  if ! getent passwd "$user" >/dev/null; then
    echo "the machine has no user $user: the user daemon stands in for it" >&2
    user=daemon
  fi
  echo "$user"
}
kelvvm_user=$(service_user kelvvm.service)
kelwisprd_user=$(service_user kelwisprd.service 2>/dev/null)
caller=nobody
[[ $kelvvm_user != "$caller" ]] || { echo "FAIL: kelvvm's user is $caller"; exit 1; }

mkdir -p "$dir/policy" "$dir/services" "$dir/media"
chown "$kelvvm_user" "$dir/media"
# The installed policies, with the stand-in in place of a user the machine lacks.
for policy in "$root$prefix"/share/dbus-1/system.d/*.conf; do
  sed -e "s/user=\"kelvvm\"/user=\"$kelvvm_user\"/" "$policy" >"$dir/policy/${policy##*/}"
done
# The installed emulator serves the device and the carrier on the same bus, as root; the
# daemons read the settings, properties and application values it prepares.
emulator_names="com.quor.db com.quor.activitymanager com.quor.telephony com.quor.connectionmanager
  com.quor.preferences com.quor.systemservice com.quor.applicationManager com.quor.carrier.voicemail
  com.quor.carrier.hotspot com.quor.carrier.link"
{
  echo '<busconfig><policy user="root">'
  for name in $emulator_names; do echo "<allow own=\"$name\"/>"; done
  echo '</policy><policy context="default">'
  for name in $emulator_names; do echo "<allow send_destination=\"$name\"/>"; done
  echo '</policy></busconfig>'
} >"$dir/policy/emulator.conf"
mkdir -p "$dir/emulator"
# Each installed activation file, its Exec= run as its unit says.
for activation in "$root$prefix"/share/dbus-1/system-services/*.service; do
  unit=$root$unitdir/$(value "$activation" SystemdService)
  [[ -f $unit ]] || { fail "${activation##*/} names no installed unit"; continue; }
  user=$(service_user "${unit##*/}" 2>/dev/null)
  # CAP_SETUID CAP_SETGID -> +setuid,+setgid
  caps=$(value "$unit" AmbientCapabilities | tr 'A-Z' 'a-z' | sed -e 's/cap_/+/g' -e 's/ /,/g')
  setpriv_caps=(--bounding-set=-all --inh-caps=-all)
  [[ -n $caps ]] && setpriv_caps=(--bounding-set="-all,$caps" --inh-caps="$caps" --ambient-caps="$caps")
  options=
  [[ $user == "$kelvvm_user" && ${unit##*/} == kelvvm.service ]] && options="-f $dir/media/"
  wrapper=$dir/$(value "$activation" Name).run
  cat >"$wrapper" <<EOS
#!/bin/sh
# The emulator's shell lines name its settings; the first activation may come before they do.
for i in \$(seq 100); do [ -f $dir/emulator/env ] && break; sleep 0.1; done
. $dir/emulator/env
export QMLOG_STDERR=1 CSDEBUG_STDERR=1
exec setpriv --reuid=$user --regid=$(id -gn "$user") --init-groups ${setpriv_caps[*]} --no-new-privs \
  $root$(value "$activation" Exec) $options 2>>$dir/daemons.log
EOS
  chmod 755 "$wrapper"
  sed -e "s|^Exec=.*|Exec=$wrapper|" -e '/^User=/d' "$activation" >"$dir/services/${activation##*/}"
done
cp "$root$prefix/bin/tamo-send" "$dir/tamo-send"

start_system_like_bus "$dir" "$dbus_daemon" "<servicedir>$dir/services</servicedir>
  <includedir>$dir/policy</includedir>"
export TAMO_BUS_ADDRESS=$address
"$root$prefix/bin/nimbos-emulator" --config "$root$prefix/share/nimbos-emulator/default.json" \
  --state-dir "$dir/emulator" >/dev/null 2>"$dir/emulator.log" &
emulator_pid=$!
for _ in $(seq 200); do [[ -f $dir/emulator/env ]] && break; sleep 0.1; done
[[ -f $dir/emulator/env ]] || { echo "FAIL: the emulator did not start: $(cat "$dir/emulator.log")"; exit 1; }
# The daemons' users write their application values and media there.
chmod 1777 "$dir/emulator/prefs" 2>/dev/null || mkdir -m 1777 "$dir/emulator/prefs"
send() { timeout 20 "$dir/tamo-send" "$@" 2>&1; }
as_caller() { setpriv --reuid=$caller --regid=nogroup --clear-groups "$@"; }
uid_of_name() {
  gdbus call --address "$address" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixUser "$1" 2>&1 | sed -n 's/^(uint32 \([0-9]*\),)$/\1/p'
}

# kelvvm: activated by the first call, answers anyone's ping, runs as its user.
reply=$(send quor://com.quor.kelvvm/ping '{"a":1}')
[[ $reply == '{"a":1}' ]] || fail "root's ping: $reply"
reply=$(as_caller "$dir/tamo-send" quor://com.quor.kelvvm/ping '{"a":2}' 2>&1)
[[ $reply == '{"a":2}' ]] || fail "$caller's ping: $reply"
[[ $(uid_of_name com.quor.kelvvm) == "$(id -u "$kelvvm_user")" ]] ||
  fail "kelvvm runs as uid $(uid_of_name com.quor.kelvvm), not $kelvvm_user"
reply=$(as_caller "$dir/tamo-send" quor://com.quor.kelvvm/test '{"method":"none"}' 2>&1)
[[ $reply == '{"returnValue":false,"errorCode":-1,"errorText":"Rejected send message'*'member=\"test\"'* ]] ||
  fail "$caller's test was not refused by the bus: $reply"
reply=$(send quor://com.quor.kelvvm/test '{"method":"none"}')
[[ $reply == '{"returnValue":false,"error":"Unknown method or invalid parameters"}' ]] ||
  fail "root's test: $reply"

# setGreeting as the caller, of a kelvvm that is not root: a file only root may read is
# refused; one the caller may read reaches the carrier. The account comes first (the SMS).
reply=$(send quor://com.quor.kelvvm/smsNotification)
[[ $reply == '{"returnValue":true}' ]] || fail "the SMS: $reply"
printf '#!AMR\nsecret' >"$dir/root-only.amr"
chmod 600 "$dir/root-only.amr"
printf '#!AMR\nopen' >"$dir/open.amr"
chmod 644 "$dir/open.amr"
reply=$(as_caller "$dir/tamo-send" quor://com.quor.kelvvm/setGreeting '{"filePath":"'"$dir"'/root-only.amr"}' 2>&1)
[[ $reply == *'"errorText":"Greeting file not readable by the caller"'* ]] ||
  fail "$caller's greeting of a root-only file: $reply"
reply=$(as_caller "$dir/tamo-send" quor://com.quor.kelvvm/setGreeting '{"filePath":"'"$dir"'/open.amr"}' 2>&1)
[[ $reply == '{"returnValue":true}' ]] || fail "$caller's greeting of a readable file: $reply"
reply=$(send quor://com.quor.carrier.voicemail/emulator/mailbox)
[[ $reply == *'"greeting":{"set":true,"size":10,'* ]] || fail "the carrier's greeting: $reply"

# kelwisprd: only root may call it, and it runs as its unit's user.
reply=$(send quor://com.quor.wifi.carrierhotspot/foundNetworks '{}')
[[ $reply == '{"returnValue":true}' ]] || fail "root's foundNetworks: $reply"
[[ $(uid_of_name com.quor.wifi.carrierhotspot) == "$(id -u "$kelwisprd_user")" ]] ||
  fail "kelwisprd runs as uid $(uid_of_name com.quor.wifi.carrierhotspot), not $kelwisprd_user"
reply=$(as_caller "$dir/tamo-send" quor://com.quor.wifi.carrierhotspot/foundNetworks '{}' 2>&1)
[[ $reply == *'"errorText":"Rejected send message'* ]] || fail "$caller's foundNetworks: $reply"

if [[ $failures -ne 0 ]]; then
  echo "--- daemons' log"; tail -n 30 "$dir/daemons.log"; echo "--- bus log"; cat "$dir/bus.log"
fi
[[ $failures -eq 0 ]] && echo "the installed daemons run on the system bus as their units say"
exit $((failures > 0))
