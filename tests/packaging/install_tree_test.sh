#!/usr/bin/env bash
# `cmake --install` into a DESTDIR, then the tree's check (check_tree.sh).
# Usage: install_tree_test.sh BUILD_DIR PREFIX SYSCONFDIR UNITDIR SYSUSERSDIR TMPFILESDIR VERSION
set -u
build=$1
shift
root=$(mktemp -d /tmp/kel-destdir-XXXXXX)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" >"$root.log" 2>&1 || { cat "$root.log"; rm -f "$root.log"; exit 1; }
rm -f "$root.log"
"$(dirname "$0")/check_tree.sh" "$root" "$@"
