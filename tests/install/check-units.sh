#!/usr/bin/env bash
# Checks the systemd units as the package installs them: `systemd-analyze verify` accepts them
# (their programs and manual pages included), their sandbox reaches an exposure of 2.0 or less
# in `systemd-analyze security`, and batmond's unit still reaches the serial devices.
#   check-units.sh <cmake> <build dir> <config>
set -uo pipefail

cmake=$1 build_dir=$2 config=$3
units="batmond.service batmon-collector.service"
max_exposure=2.0
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
work=$(mktemp -d "${TMPDIR:-/tmp}/batmon-units-test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
root=$work/root

if ! DESTDIR=$root "$cmake" --install "$build_dir" --config "$config" --prefix /usr \
        >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi
unit_dir=$root/usr/lib/systemd/system
for unit in $units; do
    [ -f "$unit_dir/$unit" ] || fail "$unit is not installed in /usr/lib/systemd/system"
done
[ "$failures" -eq 0 ] || exit 1

# verify checks that ExecStart's program and the manual pages of Documentation= exist: in a
# mount namespace of its own, the installed programs and pages are laid over /usr/bin and
# /usr/share/man, as the package puts them there.
namespace=(unshare --mount)
[ "$(id -u)" -eq 0 ] || namespace+=(--map-root-user)
# shellcheck disable=SC2016
"${namespace[@]}" sh -c '
    set -e
    root=$1
    shift
    for dir in /usr/bin /usr/share/man; do
        mount -t overlay overlay -o "lowerdir=$root$dir:$dir" "$dir"
    done
    cd "$root/usr/lib/systemd/system"
    systemd-analyze verify "$@"
' verify "$root" $units >"$work/verify.log" 2>&1
status=$?
if [ "$status" -ne 0 ] || [ -s "$work/verify.log" ]; then
    cat "$work/verify.log" >&2
    fail "systemd-analyze verify reports problems (status $status)"
fi

for unit in $units; do
    systemd-analyze security --offline=yes --no-pager "$unit_dir/$unit" >"$work/$unit.security" 2>&1
    exposure=$(sed -nE 's/.*Overall exposure level for .*: ([0-9.]+) .*/\1/p' "$work/$unit.security")
    if [ -z "$exposure" ]; then
        cat "$work/$unit.security" >&2
        fail "systemd-analyze security gave no exposure for $unit"
        continue
    fi
    echo "$unit: exposure $exposure"
    awk -v e="$exposure" -v max="$max_exposure" 'BEGIN { exit !(e <= max) }' || {
        grep '✗' "$work/$unit.security" >&2
        fail "$unit: exposure $exposure, above $max_exposure"
    }
done

# The serial devices pass the device filter, and the dialout group owns them.
for device in char-ttyS:rw char-ttyUSB:rw char-ttyACM:rw; do
    grep -E '^✗ DeviceAllow=|^✓ DeviceAllow=' "$work/batmond.service.security" | grep -qF "$device" ||
        fail "batmond.service does not allow $device: $(grep 'DeviceAllow=' "$work/batmond.service.security")"
done
grep -qxE 'SupplementaryGroups=(.* )?dialout( .*)?' "$unit_dir/batmond.service" ||
    fail "batmond.service does not run in group dialout"
grep -qx 'Type=notify' "$unit_dir/batmond.service" || fail "batmond.service is not Type=notify"
grep -qE '^WatchdogSec=[1-9]' "$unit_dir/batmond.service" || fail "batmond.service has no watchdog"

if [ "$failures" -ne 0 ]; then
    echo "$failures unit check(s) failed" >&2
    exit 1
fi
echo "units verified, exposure at most $max_exposure"
