#!/usr/bin/env bash
# What a new user meets first: --version, --help that fits a terminal and names its units, and
# messages that say what was wrong. Opens no socket.
# Usage: surface.sh VERSION QORCTL QOR_SIM [QOR]
set -uo pipefail
version=$1 ctl=$2 sim=$3 gui=${4:-}
# shellcheck source=../../common/checks.sh
source "${BASH_SOURCE%/*}/../../common/checks.sh"

programs=("qorctl:$ctl" "qor-sim:$sim")
[ -n "$gui" ] && programs+=("qor:$gui")
for entry in "${programs[@]}"; do
  name=${entry%%:*} path=${entry#*:}
  check "$name --version" "$name $version" "$(env -u DISPLAY -u WAYLAND_DISPLAY "$path" --version)"
done

helps=$("$ctl" --help-all
        for c in check discover assign run adapters env "env show" "env backup" "env restore" "env set" \
                 "env diff" provision report; do "$ctl" $c --help; done
        "$sim" --help; [ -n "$gui" ] && "$gui" --help)
check "every help line fits 80 columns" "" "$(awk 'length > 80' <<<"$helps")"
# A text wrapped by hand and then again by the formatter leaves a short line whose sentence goes on
# below it.
check "no help text is wrapped twice" "" \
  "$(awk 'prev != "" && /^[a-z0-9(*-]/ && length(prev) + 1 + length($1) <= 80 { print prev " / " $0 }
          { prev = /^ / ? "" : $0 }' <<<"$helps")"
check "no value is named by its C++ type" "" "$(grep -E '\b(TEXT|INT|UINT|FLOAT)\b' <<<"$helps")"
check "milliseconds are MS everywhere" "" \
  "$(grep -iE 'millisecond' <<<"$helps" | grep -v 'MS millisecond')"
check "seconds are SECONDS everywhere" "" \
  "$(grep -E '\bseconds\b' <<<"$helps" | grep -vE 'SECONDS|error, seconds')"

"$ctl" bogus >/dev/null 2>"${TMPDIR:-/tmp}/qor-surface.$$"
check "an unknown command exits 2" 2 $?
check "and says so, listing the commands" \
  "qorctl: unknown command \"bogus\"|Commands: check, discover, assign, run, env, provision, report, adapters|Run 'qorctl --help' for usage." \
  "$(paste -sd'|' "${TMPDIR:-/tmp}/qor-surface.$$")"
"$ctl" >/dev/null 2>"${TMPDIR:-/tmp}/qor-surface.$$"
check "no command exits 2" 2 $?
check "and lists the commands" "Commands: check, discover, assign, run, env, provision, report, adapters" \
  "$(sed -n 2p "${TMPDIR:-/tmp}/qor-surface.$$")"
for command in discover "assign 02:00:00:00:00:01 127.0.0.9 --verify" "run x.qor --all"; do
  "$ctl" $command --wait soon >/dev/null 2>"${TMPDIR:-/tmp}/qor-surface.$$"
  check "$command --wait soon exits 2" 2 $?
  check "$command: the wait is not a number" "qorctl ${command%% *}: --wait: \"soon\" is not a number" \
    "$(head -1 "${TMPDIR:-/tmp}/qor-surface.$$")"
done
for row in "--csv --json|--json excludes --csv" \
           "--rate 500|--rate requires --range" \
           "--range 10.71.4.0/24 --rate 0|--rate: 0 is not from 1 to 100000" \
           "--range 10.71.4.0/12|--range: 10.64.0.0/12 holds 1048576 addresses; a range may be at most a /16 (65536 addresses)" \
           "--range 10.71.4/24|--range: \"10.71.4/24\" is not an address range such as 10.71.4.0/24"; do
  options=${row%|*} message=${row##*|}
  # shellcheck disable=SC2086 # the options are words
  "$ctl" discover $options >/dev/null 2>"${TMPDIR:-/tmp}/qor-surface.$$"
  check "discover $options exits 2" 2 $?
  check "discover $options: says why" "qorctl discover: $message" \
    "$(head -1 "${TMPDIR:-/tmp}/qor-surface.$$")"
done
"$sim" --delay 1.5 >/dev/null 2>"${TMPDIR:-/tmp}/qor-surface.$$"
check "qor-sim --delay 1.5 exits 2" 2 $?
check "and says why" "qor-sim: --delay: 1.5 is not a whole number from 0 to 3600000" \
  "$(head -1 "${TMPDIR:-/tmp}/qor-surface.$$")"
"$ctl" env set 02:00:00:00:00:01 a=1 --at 0 --length 4 --wait soon >/dev/null \
  2>"${TMPDIR:-/tmp}/qor-surface.$$"
check "env set --wait soon exits 2" 2 $?
check "and names both commands" "qorctl env set: --wait: \"soon\" is not a number|Run 'qorctl env \
set --help' for usage." "$(paste -sd'|' "${TMPDIR:-/tmp}/qor-surface.$$")"
rm -f "${TMPDIR:-/tmp}/qor-surface.$$"

finish "surface"
