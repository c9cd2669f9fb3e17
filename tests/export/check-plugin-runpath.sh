#!/usr/bin/env bash
# The export plugin of the build tree must name every library directory explicitly: an empty
# or relative entry in its run path makes the loader search the working directory.
#   check-plugin-runpath.sh <plugin>
set -uo pipefail
plugin=$1
[ -f "$plugin" ] || { echo "FAIL: $plugin missing" >&2; exit 1; }
runpath=$(readelf -d "$plugin" | sed -n 's/.*(\(RUN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p')
[ -n "$runpath" ] || { echo "FAIL: $plugin has no run path" >&2; exit 1; }
IFS=: read -r -a entries <<<"$runpath:"
failures=0
for entry in "${entries[@]}"; do
    case $entry in
        /*) ;;
        *) echo "FAIL: run path '$runpath' of $plugin has the entry '$entry'" >&2; failures=1 ;;
    esac
done
# `read` drops one trailing empty field; the appended ':' above keeps a real one visible.
[[ $runpath == *: || $runpath == :* || $runpath == *::* ]] &&
    { echo "FAIL: run path '$runpath' of $plugin has an empty entry" >&2; failures=1; }
[ $failures -eq 0 ] && echo "run path of $plugin: $runpath"
exit $failures
