#!/usr/bin/env bash
# Checks the manual pages against the programs they describe:
# - every page renders with `man -l` without a warning;
# - the options a program's --help lists are the options its page describes, with the same
#   value names, no more and no fewer;
# - the keys a program reads only from its settings file are described in its pages, and
#   batmond.conf(5) describes exactly the keys batmond reads;
# - the example settings files (installed in /etc/batmon) name exactly those keys.
#   check-manpages.sh <man dir> <source dir> <batmon> <batmond> <batmon-collector>
#                     <batmon-export> <batmon-sim>
set -uo pipefail

man_dir=$1 source_dir=$2
shift 2
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
work=$(mktemp -d "${TMPDIR:-/tmp}/batmon-man-test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

# The text `man -l` shows for a page; its warnings go to <page>.warnings.
render() {  # page file
    MANWIDTH=100 man --warnings -l "$1" 2>"$work/$(basename "$1").warnings"
}

# The lines of a section of a rendered page indented by seven blanks: its paragraphs' first
# lines and the headings of its items ("--port PORT").
section_items() {  # rendered page, section title
    awk -v title="$2" '
        /^[A-Z]/ { inside = ($0 == title); next }
        inside && /^       [^ ]/ { sub(/^ +/, ""); print }' "$1"
}

# The options of a --help text ("--port PORT", "-h, --help"): the lines of its "Options:"
# block that start with a dash, up to the blanks before the description.
help_options() {  # help text file
    awk '/^Options:/ { inside = 1; next } /^$/ { inside = 0 }
         inside && /^  -/ { sub(/^  /, ""); sub(/  +.*/, ""); print }' "$1"
}

# The keys a --help lists under "In the configuration file only:", without the qualifier a key
# may take ("alarm_low_voltage_warning[.BATTERY]": the key, which its page describes with it).
help_file_keys() {  # help text file
    awk '/^In the configuration file only:/ { inside = 1; next } /^$/ { inside = 0 }
         inside && /^  [a-z_]+/ { key = $1; sub(/\[.*\]$/, "", key); print key }' "$1"
}

# The settings keys of a program: its options without --help, --version and --config, as
# keys (--data-dir: data_dir), and the keys of the file only.
settings_keys() {  # help text file
    { help_options "$1" | grep -vE -- '--(help|version|config|test-notify)\b' | awk '{ print $1 }' |
        sed -E 's/^--//; s/-/_/g'
      help_file_keys "$1"; } | sort
}

# The keys an example settings file names, set or commented out (";mqtt = ...").
example_keys() {  # settings file
    sed -nE 's/^;?([a-z_]+) = .*/\1/p' "$1" | sort
}

same_lists() {  # what, expected file, actual file
    if ! diff -u "$2" "$3" >"$work/diff"; then
        fail "$1 differ (- expected, + found):"
        sed '1,2d' "$work/diff" >&2
    fi
}

# --- Every page renders ------------------------------------------------------------------
# Rendered once, into <name>.<section>.txt, which the checks below read.
for page in "$man_dir"/*.[0-9].gz; do
    name=$(basename "$page" .gz)
    if ! render "$page" >"$work/$name.txt"; then
        fail "man -l $page fails"
        continue
    fi
    [ -s "$work/$name.warnings" ] && fail "man -l $page warns: $(cat "$work/$name.warnings")"
    title=$(head -n 1 "$work/$name.txt")
    [[ $title == "${name%.*}(${name##*.})"* ]] || fail "$page starts with '$title'"
    grep -q '^NAME$' "$work/$name.txt" || fail "$page has no NAME section"
done

# --- Options as in --help ------------------------------------------------------------------
for program in "$@"; do
    name=$(basename "$program")
    page=$(ls "$man_dir/$name".[0-9].gz 2>/dev/null | head -n 1)
    if [ -z "$page" ]; then
        fail "no manual page for $name in $man_dir"
        continue
    fi
    if ! QT_QPA_PLATFORM=offscreen "$program" --help >"$work/$name.help" 2>&1; then
        fail "$name --help fails"
        continue
    fi
    help_options "$work/$name.help" | sort >"$work/$name.help-options"
    [ -s "$work/$name.help-options" ] || fail "$name --help lists no options"
    section_items "$work/$(basename "$page" .gz).txt" OPTIONS | grep -E '^-' | sort \
        >"$work/$name.man-options"
    same_lists "options of $name --help and $(basename "$page")" \
        "$work/$name.help-options" "$work/$name.man-options"

    # Keys of the settings file only: described in the program's pages.
    for key in $(help_file_keys "$work/$name.help"); do
        zcat "$man_dir/$name".*.gz | grep -qE "^\\\\fB$key\\\\fR = " ||
            fail "$name reads '$key' from its settings file, which no page of $name describes"
    done
done

# --- Settings files ----------------------------------------------------------------------
for program in "$@"; do
    case $(basename "$program") in
        batmond) batmond_help=$work/batmond.help ;;
        batmon-collector) collector_help=$work/batmon-collector.help ;;
    esac
done
if [ -n "${batmond_help:-}" ] && [ -f "$batmond_help" ]; then
    settings_keys "$batmond_help" >"$work/batmond.keys"
    section_items "$work/batmond.conf.5.txt" KEYS | sed -nE 's/^([a-z_]+) = .*/\1/p' | sort \
        >"$work/batmond.conf.5.keys"
    same_lists "keys batmond reads and keys batmond.conf(5) describes" \
        "$work/batmond.keys" "$work/batmond.conf.5.keys"
    example_keys "$source_dir/service/batmond.conf" >"$work/batmond.conf.keys"
    same_lists "keys batmond reads and keys of the example batmond.conf" \
        "$work/batmond.keys" "$work/batmond.conf.keys"
else
    fail "batmond was not among the programs checked"
fi
if [ -n "${collector_help:-}" ] && [ -f "$collector_help" ]; then
    settings_keys "$collector_help" >"$work/collector.keys"
    example_keys "$source_dir/collector/collector.conf" >"$work/collector.conf.keys"
    same_lists "keys batmon-collector reads and keys of the example collector.conf" \
        "$work/collector.keys" "$work/collector.conf.keys"
else
    fail "batmon-collector was not among the programs checked"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures manual page check(s) failed" >&2
    exit 1
fi
echo "manual pages render and agree with --help and the settings files"
