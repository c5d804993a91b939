#!/usr/bin/env bash
# Two sites, each a private namespace whose gateway runs sshd on its own address beside
# simulated targets on the site's LAN; this namespace is the control host, joined to each
# gateway by a veth pair. The qor.lan collection from the source tree drives both sites over SSH
# with the example playbook, calling the just-built qorctl on each gateway: targets without an
# address get one from their own site's pool, every target gets the site's variables and the
# firmware. Played again, nothing changes (changed=0 on both sites), and each site's targets are
# read back with qorctl on the site itself. Must run inside scripts/netns-run: the interfaces
# made here reach nothing and vanish with the namespaces.
# Usage: two-sites.sh QOR_SIM QORCTL SOURCE_DIR
set -uo pipefail
sim=$1 ctl=$2 src=$3

skip() {
  echo "skipped: $*"
  exit 77
}
for tool in ansible-playbook ssh ssh-keygen /usr/sbin/sshd nsenter; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps installs it)"
done
# sshd changes to its own unprivileged user, which a user namespace of one uid does not map.
[ "$(awk 'NR == 1 { print $1 $2 $3 }' /proc/self/uid_map)" = "004294967295" ] ||
  skip "sshd needs the real root (run as root, as CI does)"
if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
  echo "not in a private network namespace of loopback alone: refusing to make interfaces" >&2
  exit 1
fi

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# shellcheck source=../common/checks.sh
source "${BASH_SOURCE%/*}/../common/checks.sh"

ssh-keygen -q -t ed25519 -N '' -C qor-lab -f "$work/id"
ssh-keygen -q -t ed25519 -N '' -C qor-lab-host -f "$work/host"
cp "$work/id.pub" "$work/authorized_keys"

# What runs in each site's namespace: the site's end of its veth pair, the LAN addresses of its
# targets and pool (on its loopback, where the simulator answers for them), the simulator and
# sshd. A private /run holds sshd's privilege separation folder.
cat >"$work/site.sh" <<'EOF'
n=$1 sim=$2 dir=$3
# Stopped, the site takes its simulator and sshd along.
trap 'kill $(jobs -p) 2>/dev/null; wait; exit' TERM INT
until ip link show "qs${n}g" >/dev/null 2>&1; do sleep 0.01; done
ip link set lo up
ip addr add "10.72.$n.2/24" dev "qs${n}g"
ip link set "qs${n}g" up
for host in 10 11 50 51 52 53; do ip addr add "10.71.$n.$host/32" dev lo; done
ip route add default dev lo
mount -t tmpfs qor-lab /run && mkdir -p /run/sshd
"$sim" --targets 4 --unassigned 2 --first-mac "02:00:00:00:0$n:01" --first-ip "10.71.$n.10" \
  --trace "$dir/trace.jsonl" >"$dir/sim.out" 2>"$dir/sim.err" &
/usr/sbin/sshd -D -e -f "$dir/sshd_config" 2>"$dir/sshd.err" &
for _ in $(seq 200); do
  grep -qx ready "$dir/sim.out" && ss -ltn | grep -q "10.72.$n.2:2222" && break
  sleep 0.05
done
echo ready
wait
EOF

declare -A site_pid
for n in 1 2; do
  dir="$work/site$n"
  mkdir -p "$dir/files"
  cat >"$dir/sshd_config" <<EOF
Port 2222
ListenAddress 10.72.$n.2
HostKey $work/host
AuthorizedKeysFile $work/authorized_keys
UsePAM no
StrictModes no
PidFile $dir/sshd.pid
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
# The gateway's qorctl: the one just built, found on the PATH as the package's would be.
SetEnv PATH=${ctl%/*}:/usr/local/bin:/usr/bin:/bin
Subsystem sftp internal-sftp
EOF
  ip link add "qs${n}c" type veth peer name "qs${n}g"
  ip addr add "10.72.$n.1/24" dev "qs${n}c"
  ip link set "qs${n}c" up
  unshare -nm bash "$work/site.sh" "$n" "$sim" "$dir" >"$dir/site.out" 2>"$dir/site.err" &
  site_pid[$n]=$!
  pids+=("$!")
  for _ in $(seq 500); do
    [ "$(readlink "/proc/${site_pid[$n]}/ns/net")" != "$(readlink /proc/self/ns/net)" ] && break
    sleep 0.01
  done
  ip link set "qs${n}g" netns "${site_pid[$n]}"
done
for n in 1 2; do
  for _ in $(seq 200); do
    grep -qx ready "$work/site$n/site.out" && break
    sleep 0.05
  done
done
check "both gateways say ready" "ready ready" "$(cat "$work"/site[12]/site.out | xargs)"

# The control host: the collection from the source tree, nothing of the user's own settings.
mkdir -p "$work/collections" "$work/home"
ln -s "$src/ansible" "$work/collections/ansible_collections"
touch "$work/ansible.cfg"
export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_HOME="$work/home" PYTHONDONTWRITEBYTECODE=1
export ANSIBLE_COLLECTIONS_PATH="$work/collections" ANSIBLE_LOCAL_TEMP="$work/home/tmp"
export ANSIBLE_SSH_CONTROL_PATH_DIR="$work/home/cp" ANSIBLE_NOCOLOR=1 ANSIBLE_HOST_KEY_CHECKING=False
cat >"$work/inventory.ini" <<EOF
[gateways]
site-a ansible_host=10.72.1.2 qor_pool=10.71.1.50-10.71.1.53 qor_dir=$work/site1/files
site-b ansible_host=10.72.2.2 qor_pool=10.71.2.50-10.71.2.53 qor_dir=$work/site2/files

[gateways:vars]
ansible_port=2222
ansible_user=root
ansible_ssh_private_key_file=$work/id
ansible_ssh_common_args='-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'
ansible_python_interpreter=/usr/bin/python3
ansible_remote_tmp=$work/home/remote
qor_wait=300
qor_examples=$src/examples
EOF

writes() {  # writes N: the WriteRequests site N's targets carried out so far
  grep '"type":"WriteRequest"' "$work/site$1/trace.jsonl" | grep -c '"event":"handled"'
}
recap() {  # recap FILE HOST: "changed=C failed=F" of HOST's line of the play recap
  grep -E "^$2 +:" "$1" | grep -oE '(changed|failed)=[0-9]+' | xargs
}

playbook="$src/ansible/qor/lan/docs/sites.yml"
ansible-playbook -i "$work/inventory.ini" "$playbook" >"$work/first.out" 2>&1
check "the first play succeeds" 0 $?
for host in site-a site-b; do
  changed=$(recap "$work/first.out" "$host")
  check "the first play changed $host" "yes" \
    "$([[ $changed =~ changed=([1-9][0-9]*)\ failed=0 ]] && echo yes || echo "$changed")"
done
written=("" "$(writes 1)" "$(writes 2)")

ansible-playbook -i "$work/inventory.ini" "$playbook" >"$work/second.out" 2>&1
check "the second play succeeds" 0 $?
check "and changes nothing on site-a" "changed=0 failed=0" "$(recap "$work/second.out" site-a)"
check "nor on site-b" "changed=0 failed=0" "$(recap "$work/second.out" site-b)"

# Each site read back on its own, by qorctl beside its targets.
for n in 1 2; do
  host=$([ "$n" = 1 ] && echo site-a || echo site-b)
  on_site() { nsenter -t "${site_pid[$n]}" -n "$ctl" "$@"; }
  check "$host's targets wrote nothing during the second play" "${written[$n]}" "$(writes "$n")"
  on_site discover --json --wait 400 >"$work/site$n/discover.json"
  check "$host's targets all answer, the two without an address at its pool's first two" \
    "10.71.$n.10 10.71.$n.11 10.71.$n.50 10.71.$n.51" \
    "$(grep -o '"ip": "[^"]*"' "$work/site$n/discover.json" | cut -d'"' -f4 | sort | xargs)"
  for last in 1 2 3 4; do
    mac="02:00:00:00:0$n:0$last"
    on_site env show "$mac" --at 0x00F00000 --length 0x1000 --wait 400 >"$work/site$n/env$last"
    check "$mac holds its site's variables" "bootdelay=1 site=$host" \
      "$(grep -E '^(site|bootdelay)=' "$work/site$n/env$last" | sort | xargs)"
  done
  on_site run "$src/examples/firmware-update.QOR" --all --skip-if-current --json --wait 400 \
    >"$work/site$n/current.json" 2>/dev/null
  check "$host's four targets hold the firmware already" 4 \
    "$(grep -c '"outcome":"current"' "$work/site$n/current.json")"
done

if [ "${failures:-0}" -ne 0 ]; then
  cat "$work/first.out" "$work/second.out"
  cat "$work"/site[12]/sshd.err "$work"/site[12]/site.err
fi
finish "two sites"
