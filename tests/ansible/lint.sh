#!/usr/bin/env bash
# The qor.lan collection as its users and Galaxy see it, offline: ansible-doc reads every
# module's documentation, the unit tests of what the modules send to qorctl pass, ansible-lint
# passes the collection and its example playbook (production profile), and the sanity tests of
# ansible-test that need nothing downloaded pass. (ansible-test's validate-modules, pylint, pep8,
# yamllint, import and ansible-doc tests install their own requirements from the network first:
# they are not run here.)
# Usage: lint.sh SOURCE_DIR
set -uo pipefail
src=$1
command -v ansible-doc >/dev/null || { echo "skipped: ansible-core is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=../common/checks.sh
source "${BASH_SOURCE%/*}/../common/checks.sh"

# A tree of its own (ansible-test wants a real ansible_collections folder), and a home of its
# own for the tools' caches.
mkdir -p "$work/ansible_collections/qor" "$work/home"
cp -r "$src/ansible/qor/lan" "$work/ansible_collections/qor/lan"
export HOME="$work/home" XDG_CACHE_HOME="$work/home/cache" ANSIBLE_HOME="$work/home/ansible"
export ANSIBLE_COLLECTIONS_PATH="$work" ANSIBLE_NOCOLOR=1 NO_COLOR=1
python=/usr/bin/python3  # the Python that ansible-core is installed for

for module in qor_facts qor_address qor_env qor_script qor_provision; do
  ansible-doc "qor.lan.$module" >"$work/$module.txt" 2>&1
  check "ansible-doc qor.lan.$module reads its documentation" "0 yes" \
    "$? $(grep -qi "^> QOR.LAN.${module^^} " "$work/$module.txt" && grep -q "^= \|^- " \
      "$work/$module.txt" && echo yes)"
done
check "qor_env's documentation says what check and diff modes do" 2 \
  "$(grep -ciE "writes nothing|before and after" "$work/qor_env.txt")"

(cd "$work" && "$python" -m unittest \
  ansible_collections.qor.lan.tests.unit.plugins.module_utils.test_qorctl \
  ansible_collections.qor.lan.tests.unit.plugins.modules.test_qor_env \
  ansible_collections.qor.lan.tests.unit.plugins.modules.test_documentation) >"$work/unit.out" 2>&1
check "the collection's unit tests pass" 0 $?
grep -q "^OK" "$work/unit.out" || cat "$work/unit.out"

# The README's example is the playbook the lab test plays.
same=$("$python" - "$src" <<'PY'
import re, sys, yaml
src = sys.argv[1]
readme = open(src + "/README.md", encoding="utf-8").read()
section = readme.split("## Many sites", 1)[1].split("\n## ", 1)[0]
example = re.search(r"```yaml\n(.*?)```", section, re.S).group(1)
played = open(src + "/ansible/qor/lan/docs/sites.yml", encoding="utf-8").read()
print("same" if yaml.safe_load(example) == yaml.safe_load(played) else "different")
PY
)
check "the README's \"Many sites\" example is docs/sites.yml" "same" "$same"

if command -v ansible-lint >/dev/null; then
  (cd "$work/ansible_collections/qor/lan" && ansible-lint --offline --nocolor --profile production) \
    >"$work/lint.out" 2>&1
  check "ansible-lint passes the collection and its example playbook" 0 $?
  grep -q "^Passed" "$work/lint.out" || cat "$work/lint.out"
else
  echo "note: ansible-lint is not installed; not linted"
fi

if command -v ansible-test >/dev/null; then
  needs_network=(ansible-doc import pep8 pylint runtime-metadata validate-modules yamllint)
  skips=()
  for test in "${needs_network[@]}"; do skips+=(--skip-test "$test"); done
  (cd "$work/ansible_collections/qor/lan" &&
    ansible-test sanity --python "$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" \
      "${skips[@]}") >"$work/sanity.out" 2>&1
  check "ansible-test sanity passes the tests that run offline" 0 $?
  check "and ran them" "yes" \
    "$([ "$(grep -c '^Running sanity test' "$work/sanity.out")" -ge 20 ] && echo yes)"
  grep -qE "^(ERROR|FATAL)" "$work/sanity.out" && cat "$work/sanity.out"
fi
finish "qor.lan lint"
