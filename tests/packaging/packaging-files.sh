#!/usr/bin/env bash
# What the build made for the package: man pages that render without a warning, carry the
# version and name every argument and option of the programs' --help, command by command; the
# desktop entry, its icons at their sizes and valid AppStream metainfo.
# Usage: packaging-files.sh SOURCE_DIR STAGED_DIR QORCTL QOR_SIM [QOR]
set -uo pipefail
source_dir=$1 staged=$2
folder=$staged/man
declare -A programs=([qorctl]=$3 [qor-sim]=$4)
[ -n "${5:-}" ] && programs[qor]=$5
# shellcheck source=../common/checks.sh
source "${BASH_SOURCE%/*}/../common/checks.sh"

# Every argument and option name in a --help text, one per line.
names() { sed -n 's/^  \([^ ]\+\).*/\1/p' | tr ',' '\n'; }

for name in "${!programs[@]}"; do
  program=${programs[$name]}
  page=$folder/$name.1.gz
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
             man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  check "$name(1) renders without a warning" "" "$warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$page" 2>/dev/null | sed 's/‐//g')
  check "$name(1) carries the version" 1 \
    "$(grep -c "$(env -u DISPLAY "$program" --version)" <<<"$text")"
  commands=("")
  [ "$name" = qorctl ] &&
    commands+=(check discover assign run "env show" "env backup" "env restore" "env set" "env diff"
    provision report)
  for command in "${commands[@]}"; do
    missing=""
    while read -r option; do
      grep -qF -- "$option" <<<"$text" || missing+=" $option"
    done < <("$program" $command --help | names)
    check "$name(1) names every option of '$name${command:+ $command} --help'" "" "$missing"
  done
done

# The script language's page, made from docs/script-language.md (tests/docs checks its text).
page=$folder/qor-script.5.gz
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
check "qor-script(5) renders without a warning" "" "$warnings"
number=$("${programs[qorctl]}" --version | cut -d' ' -f2)
check "qor-script(5) carries the version" 1 "$(LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null | grep -c "^QOR $number ")"

if [ -n "${programs[qor]:-}" ]; then
  id=org.example.qor
  desktop=$source_dir/packaging/$id.desktop
  check "the desktop entry starts qor" "Exec=qor" "$(grep '^Exec=' "$desktop")"
  check "and names its icon" "Icon=$id" "$(grep '^Icon=' "$desktop")"
  for size in 32 48 64 128 256; do
    png=$staged/icons/hicolor/${size}x${size}/apps/$id.png
    # The width and height of a PNG are the two big-endian words after its 16-byte head.
    check "the ${size}x${size} icon is that size" "$size $size" \
      "$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3*256+$4, $7*256+$8}')"
  done
  check "the scalable icon is an SVG" 1 "$(grep -c '^<svg ' "$staged/icons/hicolor/scalable/apps/$id.svg")"
  check "the metainfo is valid AppStream" 0 \
    "$(appstreamcli validate --no-net --pedantic "$staged/$id.metainfo.xml" >/dev/null; echo $?)"
  check "the metainfo launches the desktop entry" 1 \
    "$(grep -c "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$staged/$id.metainfo.xml")"
fi

finish "packaging files"
