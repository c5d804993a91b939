#!/usr/bin/env bash
# Each module of qor.lan against simulated targets, on this host as on a gateway
# (tests/ansible/modules.yml): check and diff modes, a second call that changes nothing, golden
# files, errors in qorctl's words, the station. Must run inside scripts/netns-run.
# Usage: modules.sh QOR_SIM QORCTL SOURCE_DIR
set -uo pipefail
sim=$1 ctl=$2 src=$3
here=$(cd "${BASH_SOURCE%/*}" && pwd)
command -v ansible-playbook >/dev/null || { echo "skipped: ansible-core is not installed"; exit 77; }
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
# shellcheck source=../common/checks.sh
source "${BASH_SOURCE%/*}/../common/checks.sh"

"$sim" --targets 2 --unassigned 1 >"$work/sim.out" 2>"$work/sim.err" &
pid=$!
for _ in $(seq 100); do grep -qx ready "$work/sim.out" && break; sleep 0.05; done

mkdir -p "$work/collections" "$work/home"
ln -s "$src/ansible" "$work/collections/ansible_collections"
touch "$work/ansible.cfg"
export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_HOME="$work/home" PYTHONDONTWRITEBYTECODE=1
export ANSIBLE_COLLECTIONS_PATH="$work/collections" ANSIBLE_LOCAL_TEMP="$work/home/tmp"
export ANSIBLE_NOCOLOR=1 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_REMOTE_TMP="$work/home/remote"
(cd "$work" && ansible-playbook -i localhost, "$here/modules.yml" \
  -e "qorctl=$ctl" -e "work=$work" -e "examples=$src/examples") >"$work/play.out" 2>&1
status=$?
check "every module does what it says" 0 "$status"
check "and every task ran" "failed=0" "$(grep -oE 'failed=[0-9]+' "$work/play.out")"
[ "$status" -eq 0 ] || cat "$work/play.out"
finish "qor.lan modules"
