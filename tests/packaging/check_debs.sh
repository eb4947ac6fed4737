#!/usr/bin/env bash
# Checks the built Debian packages: unpacked into a scratch root, the tree passes
# check_tree.sh; every file belongs to root; the settings are conffiles; installation creates
# the users before the folders and starts nothing; the programs' libraries are in Depends.
# Usage: check_debs.sh FOLDER_OF_DEBS VERSION
set -u
debs=$1 version=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
root=$(mktemp -d /tmp/kel-debs-XXXXXX)
trap 'rm -rf "$root"' EXIT

for package in kelvvm kelwisprd tamo-tools nimbos-emulator; do
  deb=$debs/${package}_${version}_$(dpkg --print-architecture).deb
  [[ -f $deb ]] || { fail "$deb is missing"; continue; }
  dpkg-deb -x "$deb" "$root"
  others=$(dpkg-deb -c "$deb" | awk '$2 != "root/root"')
  [[ -z $others ]] || fail "$package has files not root's: $others"
  [[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "$package: Depends lacks the libraries"
  control=$root/control-$package
  dpkg-deb -e "$deb" "$control"
  case $package in
  kelvvm | kelwisprd)
    [[ $(cat "$control/conffiles" 2>/dev/null) == "/etc/$package.conf" ]] ||
      fail "$package: conffiles: $(cat "$control/conffiles" 2>/dev/null)"
    sysusers=$(grep -n systemd-sysusers "$control/postinst" | head -n 1 | cut -d: -f1)
    tmpfiles=$(grep -n systemd-tmpfiles "$control/postinst" | head -n 1 | cut -d: -f1)
    [[ -n $sysusers && -n $tmpfiles && $sysusers -lt $tmpfiles ]] ||
      fail "$package: postinst does not create the users, then the folders"
    grep -q 'deb-systemd-invoke \$_dh_action\|deb-systemd-invoke start' "$control/postinst" &&
      fail "$package: postinst starts the daemon"
    ;;
  esac
  rm -rf "$control"
done
"$(dirname "$0")/check_tree.sh" "$root" /usr /etc /lib/systemd/system /usr/lib/sysusers.d \
  /usr/lib/tmpfiles.d "$version" || failures=$((failures + 1))
[[ $failures -eq 0 ]] && echo "the Debian packages hold the installed tree"
exit $((failures > 0))
