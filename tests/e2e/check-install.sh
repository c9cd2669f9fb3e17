#!/usr/bin/env bash
# Installs a build tree into a fresh temporary prefix, checks the installed layout and starts
# the installed program offscreen.
#   check-install.sh <cmake> <build dir> <config> <plugin expected: 0|1>
set -uo pipefail

cmake=$1 build_dir=$2 config=$3 plugin_expected=$4
app_id=io.github.quorvane.batmon
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/batmon-install-test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

if ! env -u DESTDIR "$cmake" --install "$build_dir" --config "$config" --prefix "$prefix" \
        >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi

# --- Layout -------------------------------------------------------------------------------
installed_programs=$(cd "$prefix/bin" && ls | sort | tr '\n' ' ')
[ "$installed_programs" = "batmon batmon-collector batmon-export batmon-sim batmond " ] ||
    fail "bin/ holds '$installed_programs', expected batmon, batmon-collector, batmon-export, batmon-sim and batmond"
for program in batmon batmon-collector batmon-export batmon-sim batmond; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is not executable"
done

desktop=$prefix/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
    grep -qx 'Exec=batmon' "$desktop" || fail "$desktop lacks Exec=batmon"
    grep -qx 'Icon=batmon' "$desktop" || fail "$desktop lacks Icon=batmon"
else
    fail "desktop file $desktop missing"
fi

for size in 64 256; do
    icon=$prefix/share/icons/hicolor/${size}x${size}/apps/batmon.png
    if [ -f "$icon" ]; then
        file -b "$icon" | grep -q "PNG image data, $size x $size" ||
            fail "$icon is not a $size x $size PNG: $(file -b "$icon")"
    else
        fail "icon $icon missing"
    fi
done

metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
    grep -q "<id>$app_id</id>" "$metainfo" || fail "$metainfo does not carry the id $app_id"
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "$metainfo does not launch $app_id.desktop"
else
    fail "metainfo $metainfo missing"
fi

# The validators are optional tools: the checks run where they are installed.
if command -v desktop-file-validate >/dev/null && [ -f "$desktop" ]; then
    desktop-file-validate "$desktop" >&2 || fail "desktop-file-validate rejects $desktop"
fi
if command -v appstreamcli >/dev/null && [ -f "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
        { cat "$work/appstream.log" >&2; fail "appstreamcli rejects $metainfo"; }
fi

# --- Libraries ----------------------------------------------------------------------------
# The installed files must resolve their libraries and symbols without the build tree.
check_libraries() {  # file
    if readelf -d "$1" | grep -E 'R(UN)?PATH' | grep -qF "$build_dir"; then
        fail "$1 has a run path into the build tree: $(readelf -d "$1" | grep -E 'R(UN)?PATH')"
    fi
    local unresolved
    unresolved=$(ldd -r "$1" 2>&1 | grep -E 'not found|undefined symbol')
    [ -z "$unresolved" ] || fail "$1 has unresolved libraries or symbols: $unresolved"
}
check_libraries "$prefix/bin/batmon"
check_libraries "$prefix/bin/batmon-sim"
check_libraries "$prefix/bin/batmon-collector"
check_libraries "$prefix/bin/batmon-export"
# batmond: the service beside the window, with its unit and settings, and no Qt GUI.
if [ -x "$prefix/bin/batmond" ]; then
    check_libraries "$prefix/bin/batmond"
    ldd "$prefix/bin/batmond" | grep -qE 'libQt6(Gui|Widgets)' && fail "batmond links Qt GUI"
    [ -f "$prefix/lib/systemd/system/batmond.service" ] || fail "batmond.service missing"
    [ -f "$prefix/etc/batmon/batmond.conf" ] || fail "etc/batmon/batmond.conf missing"
    status=0
    "$prefix/bin/batmond" >"$work/batmond.log" 2>&1 || status=$?
    [ "$status" = 2 ] && grep -q "batmond: --port is required" "$work/batmond.log" ||
        { cat "$work/batmond.log" >&2; fail "installed batmond without options: status $status"; }
else
    fail "bin/batmond missing"
fi

# The program looks for the plugin in ../lib/batmon next to its own directory.
plugin=$prefix/lib/batmon/libbatmon_calc.so
if [ "$plugin_expected" = 1 ]; then
    if [ -f "$plugin" ]; then
        check_libraries "$plugin"
    else
        fail "export plugin $plugin missing"
    fi
fi

# --- Running ------------------------------------------------------------------------------
"$prefix/bin/batmon-sim" --help >"$work/sim-help.log" 2>&1 ||
    { cat "$work/sim-help.log" >&2; fail "installed batmon-sim --help fails"; }
# Without its options the collector names the one it misses and ends with status 2.
status=0
"$prefix/bin/batmon-collector" >"$work/collector.log" 2>&1 || status=$?
[ "$status" = 2 ] && grep -q "batmon-collector: --mqtt URL is required" "$work/collector.log" ||
    { cat "$work/collector.log" >&2; fail "installed batmon-collector without options: status $status"; }

# timeout sends SIGTERM once the program has run for 2 s and reports 124 when it did so;
# a program that ignores SIGTERM gets SIGKILL 10 s later (status 137), one that ends early
# returns its own status.
(cd "$work" && env -u BATMON_PLUGIN_DIR QT_QPA_PLATFORM=offscreen \
    timeout -k 10 2 "$prefix/bin/batmon" >"$work/batmon.log" 2>&1)
status=$?
case $status in
    124) ;;
    137) fail "installed batmon did not exit on SIGTERM" ;;
    *) fail "installed batmon ended within 2 s with status $status" ;;
esac
if [ "$status" != 124 ] && [ -s "$work/batmon.log" ]; then
    echo "--- batmon output:" >&2
    cat "$work/batmon.log" >&2
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures installation check(s) failed" >&2
    exit 1
fi
echo "installed layout, libraries and start-up are fine"
