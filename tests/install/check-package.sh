#!/usr/bin/env bash
# Builds the Debian package of a built tree with CPack and checks it: what it installs, its
# configuration files, lintian without an error or a warning, the export plugin's libraries,
# and what its maintainer scripts do to systemd (in a mount namespace with systemctl and
# deb-systemd-invoke stand-ins that record their calls: this machine runs no systemd).
#   check-package.sh <cpack> <build dir> <version> <plugin expected: 0|1>
set -uo pipefail

cpack=$1 build_dir=$2 version=$3 plugin_expected=$4
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
work=$(mktemp -d "${TMPDIR:-/tmp}/batmon-package-test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

if ! "$cpack" --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
deb=$(ls "$work"/out/batmon_"$version"_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { ls -R "$work/out" >&2; echo "FAIL: no batmon_${version}_*.deb" >&2; exit 1; }
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# --- What it installs --------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{ print $1, $6 }' | sed 's| \./| /|' >"$work/contents"
expect_file() {  # mode path
    grep -qx -- "$1 $2" "$work/contents" ||
        fail "the package lacks $2 with mode $1 (has: $(grep -F " $2" "$work/contents" || echo nothing))"
}
for program in batmon batmond batmon-collector batmon-export batmon-sim; do
    expect_file -rwxr-xr-x "/usr/bin/$program"
done
for unit in batmond.service batmon-collector.service; do
    expect_file -rw-r--r-- "/usr/lib/systemd/system/$unit"
done
for page in man1/batmon.1 man1/batmon-export.1 man1/batmon-sim.1 man8/batmond.8 \
            man8/batmon-collector.8 man5/batmond.conf.5; do
    expect_file -rw-r--r-- "/usr/share/man/$page.gz"
done
expect_file -rw-r--r-- /etc/batmon/batmond.conf
expect_file -rw------- /etc/batmon/collector.conf
expect_file -rw-r--r-- /usr/share/batmon/prometheus/batmon.rules.yml
for doc in copyright changelog.gz README.md; do
    expect_file -rw-r--r-- "/usr/share/doc/batmon/$doc"
done
[ "$plugin_expected" = 1 ] && expect_file -rw-r--r-- /usr/lib/batmon/libbatmon_calc.so

dpkg-deb -e "$deb" "$work/control"
printf '/etc/batmon/batmond.conf\n/etc/batmon/collector.conf\n' >"$work/conffiles.expected"
diff -u "$work/conffiles.expected" "$work/control/conffiles" >&2 ||
    fail "the conffiles are not the two settings files"
grep -qE '^Depends:.*libsystemd0' "$work/control/control" || fail "Depends lacks libsystemd0"

# --- The export plugin finds its libraries -------------------------------------------------
if [ "$plugin_expected" = 1 ] && [ -d /usr/lib/libreoffice/program ]; then
    dpkg-deb -x "$deb" "$work/root"
    unresolved=$(ldd -r "$work/root/usr/lib/batmon/libbatmon_calc.so" 2>&1 |
        grep -E 'not found|undefined symbol')
    [ -z "$unresolved" ] || fail "the packaged export plugin does not load: $unresolved"
fi

# --- lintian -----------------------------------------------------------------------------
# Its findings are printed for the record, the overridden ones with their reasons; an error or
# a warning fails. (With --show-overrides lintian's own --fail-on counts the overridden tags.)
lintian --display-info --show-overrides --tag-display-limit 0 --fail-on none "$deb" \
    >"$work/lintian.log" 2>&1 || fail "lintian fails: $(cat "$work/lintian.log")"
grep -v 'running with root privileges' "$work/lintian.log"
grep -qE '^[EW]: ' "$work/lintian.log" && fail "lintian reports errors or warnings"

# --- Maintainer scripts ------------------------------------------------------------------
mkdir -p "$work/stubs"
for tool in systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\n' "$tool" >"$work/stubs/$tool"
    chmod +x "$work/stubs/$tool"
done
namespace=(unshare --mount)
[ "$(id -u)" -eq 0 ] || namespace+=(--map-root-user)

# Runs a maintainer script on a system that runs systemd (yes) or not (no), with an enabled
# batmond and another enabled unit; leaves the calls in $work/calls and the links that remain
# in $work/links.
run_script() {  # yes|no, script, arguments...
    : >"$work/calls"
    # shellcheck disable=SC2016
    "${namespace[@]}" env PATH="$work/stubs:$PATH" CALLS="$work/calls" LINKS="$work/links" \
        sh -c '
        set -e
        mount -t tmpfs tmpfs /run
        [ "$1" = no ] || mkdir -p /run/systemd/system
        mount -t tmpfs tmpfs /etc/systemd/system
        mkdir /etc/systemd/system/multi-user.target.wants
        ln -s /usr/lib/systemd/system/batmond.service /etc/systemd/system/multi-user.target.wants/
        ln -s /usr/lib/systemd/system/other.service /etc/systemd/system/multi-user.target.wants/
        shift
        "$@"
        ls /etc/systemd/system/multi-user.target.wants >"$LINKS"
    ' maintainer-script "$@" >"$work/script.log" 2>&1 ||
        { cat "$work/script.log" >&2; fail "$(basename "$2") ${*:3} fails"; }
}
expect_calls() {  # case, expected calls (one per line, none: empty)
    printf '%s' "$2" >"$work/calls.expected"
    [ -n "$2" ] && echo >>"$work/calls.expected"
    diff -u "$work/calls.expected" "$work/calls" >"$work/calls.diff" ||
        { fail "$1: unexpected calls (- expected, + made):"; sed '1,2d' "$work/calls.diff" >&2; }
}
scripts=$work/control
reload='systemctl --system daemon-reload'
both='batmond.service batmon-collector.service'

run_script yes "$scripts/postinst" configure ''
expect_calls "installing" "$reload"
run_script yes "$scripts/postinst" configure 0.9.0
expect_calls "upgrading" "$reload
deb-systemd-invoke try-restart $both"
run_script yes "$scripts/prerm" upgrade "$version"
expect_calls "prerm of an upgrade" ""
run_script yes "$scripts/prerm" remove
expect_calls "removing" "deb-systemd-invoke stop $both"
run_script yes "$scripts/postrm" remove
expect_calls "after removing" "$reload"
[ "$(cat "$work/links")" = "$(printf 'batmond.service\nother.service')" ] ||
    fail "removing (not purging) dropped the operator's links: $(cat "$work/links")"
run_script yes "$scripts/postrm" purge
expect_calls "purging" "$reload"
[ "$(cat "$work/links")" = other.service ] ||
    fail "purging leaves the links '$(cat "$work/links")', expected other.service only"
run_script no "$scripts/postinst" configure 0.9.0
expect_calls "upgrading without systemd" ""
run_script no "$scripts/prerm" remove
expect_calls "removing without systemd" ""
run_script yes env DPKG_ROOT=/srv/chroot "$scripts/prerm" remove
expect_calls "removing from another root" ""

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed" >&2
    exit 1
fi
echo "package contents, lintian and maintainer scripts are fine"
