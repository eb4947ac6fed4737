#!/usr/bin/env bash
# Checks an installed tree (a DESTDIR, or the Debian packages unpacked into one folder): every
# file where the units, activation files and policies say it is, with its mode; the sysusers and
# tmpfiles files applied to a scratch root give the folders the units write their owners and
# modes; systemd-analyze verifies the units and rates their sandbox; the man pages format
# without a warning; each program tells the version.
# Usage: check_tree.sh ROOT PREFIX SYSCONFDIR UNITDIR SYSUSERSDIR TMPFILESDIR VERSION
set -u
root=$1 prefix=$2 sysconfdir=$3 unitdir=$4 sysusersdir=$5 tmpfilesdir=$6 version=$7
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# The value of KEY= in FILE (the last one).
value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }

mode_of() { stat -c %a "$root$1" 2>/dev/null; }
expect_file() { # PATH MODE
  [[ -f $root$1 ]] || { fail "$1 is missing"; return; }
  [[ $(mode_of "$1") == "$2" ]] || fail "$1 has mode $(mode_of "$1"), not $2"
  [[ $(id -u) -ne 0 || $(stat -c %u "$root$1") -eq 0 ]] || fail "$1 is not root's"
}

for program in sbin/kelvvm sbin/kelwisprd bin/tamo-send bin/nimbos-emulator; do
  expect_file "$prefix/$program" 755
  out=$("$root$prefix/$program" --version 2>/dev/null)
  [[ $out == "${program#*/} $version" ]] || fail "$program --version: $out"
done
expect_file "$sysconfdir/kelvvm.conf" 644
expect_file "$sysconfdir/kelwisprd.conf" 644
expect_file "$sysusersdir/kelvvm.conf" 644
expect_file "$sysusersdir/kelwisprd.conf" 644
expect_file "$tmpfilesdir/kelvvm.conf" 644
expect_file "$tmpfilesdir/kelwisprd.conf" 644
expect_file "$prefix/share/nimbos-emulator/default.json" 644
for page in index.html page.js page.css; do
  expect_file "$prefix/share/nimbos-emulator/page/$page" 644
done
for activity in simstatus messages-read messages-deleted; do
  expect_file "$prefix/share/nimbos-emulator/device/activities/$activity.json" 644
done
# The installed emulator reads the configuration installed with it.
help=$("$root$prefix/bin/nimbos-emulator" --help)
[[ $help == *"(default $prefix/share/nimbos-emulator/default.json)"* ]] ||
  fail "the emulator's default configuration: $help"

# Each bus name: activation file -> unit -> program, and the policy that lets the unit's user
# own the name.
for name in com.quor.kelvvm com.quor.wifi.carrierhotspot; do
  activation=$prefix/share/dbus-1/system-services/$name.service
  policy=$prefix/share/dbus-1/system.d/$name.conf
  expect_file "$activation" 644
  expect_file "$policy" 644
  [[ -f $root$activation ]] || continue
  [[ $(value "$root$activation" Name) == "$name" ]] || fail "$activation: Name is not $name"
  unit=$(value "$root$activation" SystemdService)
  expect_file "$unitdir/$unit" 644
  [[ -f $root$unitdir/$unit ]] || continue
  exec_path=$(value "$root$activation" Exec)
  [[ -x $root$exec_path ]] || fail "$activation: Exec=$exec_path is not installed"
  [[ $(value "$root$unitdir/$unit" ExecStart) == "$exec_path" ]] || fail "$unit starts another program"
  [[ $(value "$root$unitdir/$unit" Type) == dbus ]] || fail "$unit is not Type=dbus"
  [[ $(value "$root$unitdir/$unit" BusName) == "$name" ]] || fail "$unit: BusName is not $name"
  grep -q '^\[Install\]' "$root$unitdir/$unit" && fail "$unit: a bus-activated unit has no [Install]"
  user=$(value "$root$unitdir/$unit" User)
  [[ $(value "$root$activation" User) == "${user:-root}" ]] || fail "$activation: User differs from $unit"
  tr -d '\n' <"$root$policy" | grep -q "<policy user=\"${user:-root}\">[^/]*<allow own=\"$name\"/>" ||
    fail "$policy: ${user:-root} may not own $name"
  # Every folder the unit may write is made by a tmpfiles file.
  for path in $(value "$root$unitdir/$unit" ReadWritePaths); do
    [[ $path == /var/log ]] && continue
    cat "$root$tmpfilesdir"/*.conf | grep -q "^d $path " || fail "$unit writes $path, which no tmpfiles line makes"
  done
done

# The users and folders, made in a scratch root as the package's installation makes them.
scratch=$(mktemp -d /tmp/kel-tree-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/etc" "$scratch$sysusersdir" "$scratch$tmpfilesdir"
cp "$root$sysusersdir"/{kelvvm,kelwisprd}.conf "$scratch$sysusersdir/"
cp "$root$tmpfilesdir"/{kelvvm,kelwisprd}.conf "$scratch$tmpfilesdir/"
systemd-sysusers --root="$scratch" >/dev/null 2>"$scratch/sysusers.log" || fail "sysusers: $(cat "$scratch/sysusers.log")"
systemd-tmpfiles --root="$scratch" --create >/dev/null 2>"$scratch/tmpfiles.log" || fail "tmpfiles: $(cat "$scratch/tmpfiles.log")"
id_of() { [[ $2 == root ]] && echo 0 && return; awk -F: -v n="$2" '$1 == n { print $3 }' "$scratch/etc/$1"; }
owner() { # PATH USER GROUP MODE
  local got
  got=$(stat -c '%u %g %a' "$scratch$1" 2>/dev/null)
  [[ $got == "$(id_of passwd "$2") $(id_of group "$3") $4" ]] || fail "$1: $got, not $2:$3 $4"
}
owner /var/lib/quor/prefs root quor 1770
owner /media/internal/.voicemessages/kel kelvvm kelvvm-media 2750
grep -q "^quor:[^:]*:[0-9]*:kelvvm$" "$scratch/etc/group" || fail "kelvvm is not in the group quor"
[[ $(awk -F: '$1 == "kelvvm" { print $7 }' "$scratch/etc/passwd") == */nologin ]] ||
  fail "the user kelvvm can log in"

# The units: systemd-analyze in a root that also holds the host's units (sysinit.target,
# dbus.socket) which every service depends on.
if [[ -d /lib/systemd/system ]] && command -v systemd-analyze >/dev/null; then
  units=$(mktemp -d /tmp/kel-units-XXXXXX)
  trap 'rm -rf "$scratch" "$units"' EXIT
  cp -a "$root/." "$units/"
  mkdir -p "$units/lib/systemd/system"
  cp -an /lib/systemd/system/. "$units/lib/systemd/system/"
  out=$(systemd-analyze verify --man=no --root="$units" "$unitdir/kelvvm.service" "$unitdir/kelwisprd.service" 2>&1) ||
    fail "systemd-analyze verify failed"
  [[ -z $out ]] && echo "systemd-analyze verify: nothing to report" || fail "systemd-analyze verify: $out"
  for goal in kelvvm:2.0 kelwisprd:3.0; do
    unit=${goal%:*}.service
    level=$(systemd-analyze security --offline=true --root="$units" "$unit" 2>&1 |
      sed -n 's/.*Overall exposure level for [^ ]*: \([0-9.]*\).*/\1/p')
    echo "systemd-analyze security $unit: ${level:-none} (goal ${goal#*:})"
    [[ -n $level ]] && awk -v l="$level" -v g="${goal#*:}" 'BEGIN { exit !(l <= g) }' ||
      fail "$unit: exposure ${level:-unknown} above ${goal#*:}"
  done
else
  echo "systemd-analyze and the host's units are missing: the units are not checked"
fi

# The man pages: present, and formatted without a warning.
for page in man8/kelvvm.8 man8/kelwisprd.8 man5/kelvvm.conf.5 man5/kelwisprd.conf.5 \
  man1/tamo-send.1 man1/nimbos-emulator.1; do
  file=$(ls "$root$prefix/share/man/$page"{,.gz} 2>/dev/null | head -n 1)
  [[ -n $file ]] || { fail "$page is missing"; continue; }
  [[ $(stat -c %a "$file") == 644 ]] || fail "$page has mode $(stat -c %a "$file"), not 644"
  out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
  [[ -z $out ]] || fail "man $page: $out"
done

[[ $failures -eq 0 ]] && echo "the installed tree is complete"
exit $((failures > 0))
