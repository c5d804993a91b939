#!/usr/bin/env bash
# qorctl's bash completion, as bash calls it on Tab: commands, options from qorctl's own --help,
# script files, folders and --pace's choices.
# Usage: completion.sh COMPLETION_FILE QORCTL
set -uo pipefail
completion=$(realpath "$1") ctl=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../common/checks.sh
source "${BASH_SOURCE%/*}/../common/checks.sh"

# shellcheck source=/dev/null
source "$completion"
# complete WORD...: what Tab offers after the words (the last is the one being typed).
complete_line() {
  COMP_WORDS=("$ctl" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _qorctl
  printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}

check "registered for qorctl" "complete -F _qorctl qorctl" "$(complete -p qorctl)"
check "every command" "adapters assign check discover env provision report run" "$(complete_line "")"
check "commands by prefix" "discover" "$(complete_line d)"
check "the program's own options" "--help --help-all --version" "$(complete_line --)"
check "discover's options, from its --help" \
  "--broadcast --csv --help --interface --json --once --range --rate --scripts --wait" \
  "$(complete_line discover --)"
check "run's options by prefix" "--target --timeout --trace" "$(complete_line run x.QOR --t)"
check "options after other options and values" "--verify" \
  "$(complete_line assign 02:00:00:00:00:01 127.0.0.9 --wait 300 --v)"
check "--pace offers its choices" "fast tick" "$(complete_line run x.QOR --pace "")"
check "a value that is a number gets nothing" "" "$(complete_line discover --wait "")"
check "a MAC gets nothing" "" "$(complete_line run x.QOR --target "")"
check "--interface offers the adapters qorctl adapters lists" \
  "$("$ctl" adapters --json | sed -n 's/^    "name": "\(.*\)",$/\1/p' | sort | xargs)" \
  "$(complete_line discover --interface "")"

check "env's commands" "backup diff restore set show" "$(complete_line env "")"
check "env's commands by prefix" "set show" "$(complete_line env s)"
check "an env command's options, from its --help" "--rewrite-damaged-env" \
  "$(complete_line env set 02:00:00:00:00:01 a=1 --re)"

mkdir -p "$work/scripts/sub"
touch "$work/scripts/a.QOR" "$work/scripts/b.qor" "$work/scripts/notes.txt"
cd "$work/scripts" || exit 1
check "run offers .QOR files, any case, and folders" "a.QOR b.qor sub" "$(complete_line run "")"
check "check too" "a.QOR" "$(complete_line check notes.txt a)"
check "provision too, and files for its record" "a.QOR b.qor sub|a.QOR" \
  "$(complete_line provision "")|$(complete_line provision --record a)"
touch "$work/scripts/shift.jsonl" "$work/scripts/shift.csv"
check "report offers record files and folders" "shift.jsonl sub" "$(complete_line report "")"
check "report's --html any file" "shift.csv shift.jsonl" "$(complete_line report --html shift)"
check "assign offers no files" "" "$(complete_line assign "")"
check "env restore offers files" "a.QOR b.qor notes.txt shift.csv shift.jsonl sub" \
  "$(complete_line env restore 02:00:00:00:00:01 "")"
check "env --script offers .QOR files" "a.QOR" "$(complete_line env show x --script a)"
check "--scripts offers folders" "sub" "$(complete_line discover --scripts "")"

finish "completion"
