#!/usr/bin/env bash
# contrib/ansible/fleet.yml with ansible-playbook against this machine (local
# connection): trelk-fleet updates two simulated hubs, the first as the
# canary (trelk_canary), and the report fetched to the control side holds
# both, back in their normal firmware; then two hosts at once, one where a hub
# fails (its report is fetched, then the host fails; trelk_no_restart reaches
# it) and one where trelk-fleet cannot run (the host fails, nothing is
# fetched); each host's --history file is fetched beside its report; last,
# the offline flow: a
# mirror made by trelk-fleet --mirror, used by the hosts with the control
# machine's SHA256SUMS.
#
#   fleet_test.sh TRELK_FLEET TRELK_HUBSIM
#
# TRELK_FLEET is trelk-fleet, or the stand-in beside this script where it is
# not built. Ansible writes only inside a temporary folder: no configuration
# file, home or temporary folder of the user's is read or written.
set -euo pipefail
fleet=$1
hubsim=$2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
playbook=$source_dir/contrib/ansible/fleet.yml
stand_in=$here/stand-in-trelk-fleet.py
sample=$source_dir/samples/sample-v3.10.ufw

work=$(mktemp -d /tmp/trelk-ansible-test.XXXXXX)
sims=()
cleanup() {
  for pid in "${sims[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

mkdir -p "$work/home" "$work/ansible/tmp" "$work/ansible/remote" "$work/reports" "$work/tmp"
: >"$work/ansible.cfg"
export HOME=$work/home
export ANSIBLE_CONFIG=$work/ansible.cfg
export ANSIBLE_HOME=$work/ansible
export ANSIBLE_LOCAL_TEMP=$work/ansible/tmp
export ANSIBLE_REMOTE_TEMP=$work/ansible/remote
export ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORCE_COLOR=0
export ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0
export ANSIBLE_INVENTORY_UNPARSED_WARNING=0
unset ANSIBLE_INVENTORY ANSIBLE_LIBRARY ANSIBLE_ROLES_PATH
# The host's temporary report goes here (the managed host is this machine).
export TMPDIR=$work/tmp

# Two simulated two-board hubs, boards at 3.00 in bootloader mode, behind
# fixed links. They keep running after the update: trelk-fleet restarts them
# into their normal firmware and reads back the version they run.
start_hub() {
  local name=$1 serial=$2
  mkdir "$work/$name"
  "$hubsim" --model 1030 --mode bootloader --fw-version 300 --serial "$serial" \
    --link "$work/$name.port" --dump-dir "$work/$name" \
    --idle-timeout 300 >"$work/$name.out" 2>"$work/$name.err" &
  sims+=($!)
  for _ in $(seq 100); do
    [[ -s $work/$name.out && -e $work/$name.port ]] && return 0
    sleep 0.1
  done
  cat "$work/$name.err" >&2
  fail "trelk-hubsim $name did not start"
}
start_hub hub-a 100
start_hub hub-b 200

# jq is not needed: the reports are read with Python.
report_field() {
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$@"
}

set +e
ansible-playbook -i localhost, -c local "$playbook" -e "$(python3 -c '
import json, sys
print(json.dumps({"trelk_fleet": sys.argv[1], "trelk_report_dir": sys.argv[2],
                  "trelk_canary": True, "trelk_history": sys.argv[6],
                  "trelk_fleet_args": ["--fw", sys.argv[3], "--port", sys.argv[4],
                                       "--port", sys.argv[5], "--jobs", "2"]}))
' "$fleet" "$work/reports" "$sample" "$work/hub-a.port" "$work/hub-b.port" \
  "$work/host-history/history.jsonl")" \
  >"$work/run1.log" 2>&1
status=$?
set -e
cat "$work/run1.log"
[[ $status -eq 0 ]] || fail "ansible-playbook exited with $status updating two hubs"
report=$work/reports/localhost.json
[[ -f $report ]] || fail "no report fetched to $report"
ports=$(report_field "$report" '" ".join(sorted(h["port"] for h in r["hubs"]))')
[[ $ports == "$work/hub-a.port $work/hub-b.port" ]] || fail "report holds ports '$ports'"
for hub in 0 1; do
  line=$(report_field "$report" \
    "'%s %s %s %s' % tuple(r['hubs'][$hub][k] for k in ('model', 'result', 'version_after', 'mode_after'))")
  [[ $line == "Tavrine-16 updated 310 normal" ]] || fail "hub $hub in the report: '$line'"
done
grep -q 'changed=1 ' "$work/run1.log" || fail "an update that changed the hubs is not reported changed"
grep -q ': updated (300 -> 310), normal mode' "$work/run1.log" || fail "no hub's line shows its mode"
# The history stays on the host (its folder made by the play) and comes home
# beside the report: a line per hub, each updated.
history=$work/reports/localhost.history.jsonl
[[ -f $history ]] || fail "no history fetched to $history"
cmp -s "$history" "$work/host-history/history.jsonl" || fail "the fetched history is not the host's"
results=$(python3 -c 'import json,sys; print(" ".join(json.loads(l)["result"] for l in open(sys.argv[1])))' "$history")
[[ $results == "updated updated" ]] || fail "the history holds results '$results'"
# The temporary report on the host is gone.
[[ -z $(ls -A "$work/tmp") ]] || fail "left behind on the host: $(ls -A "$work/tmp")"
echo "report fetched: $ports"

# The hubs themselves were updated, when the real trelk-fleet ran, and run
# their normal firmware again. A simulator writes its state when it stops.
# hub-a was the canary: hub-b got its first command only after hub-a was
# told to restart (hub-b's simulator started later, so its clock, if
# anything, runs behind hub-a's).
if [[ $fleet != "$stand_in" ]]; then
  for pid in "${sims[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" || true
  done
  sims=()
  for name in hub-a hub-b; do
    for board in 1 2; do
      version=$(sed -n "s/^board$board\.version=//p" "$work/$name/state.txt")
      [[ $version == 310 ]] || fail "$name board $board holds version '$version'"
    done
    grep -qx 'mode=normal' "$work/$name/state.txt" || fail "$name is not back in its normal firmware"
  done
  restarted=$(awk '/!REBOOT_NORMAL/ { print $1; exit }' "$work/hub-a/lines-timed.log")
  started=$(awk '/!STOP_PING/ { print $1; exit }' "$work/hub-b/lines-timed.log")
  python3 -c 'import sys; sys.exit(0 if float(sys.argv[2]) > float(sys.argv[1]) else 1)' \
    "${restarted:-1e9}" "${started:-0}" ||
    fail "hub-b was started at $started s, before its canary hub-a restarted at $restarted s"
  echo "both hubs' boards now hold 3.10 and run it; hub-b followed its canary"
fi

# Two hosts at once: rack-a has a hub that fails (trelk-fleet exits 1), rack-b
# gets an option trelk-fleet refuses (exit 255).
cat >"$work/inventory.yml" <<YAML
all:
  vars:
    ansible_connection: local
    trelk_report_dir: $work/reports
    trelk_history: $work/host-history/{{ inventory_hostname }}.jsonl
  hosts:
    rack-a:
      trelk_fleet: $stand_in
      trelk_no_restart: true
      trelk_fleet_args: [--fw, $sample, --port, $work/rack-a.port, --port, $work/gone]
    rack-b:
      trelk_fleet: $fleet
      trelk_fleet_args: [--no-such-option]
YAML
: >"$work/rack-a.port"
# A report of rack-b from an earlier run must not survive a failed one.
echo '{"hubs": []}' >"$work/reports/rack-b.json"
set +e
ansible-playbook -i "$work/inventory.yml" "$playbook" >"$work/run2.log" 2>&1
status=$?
set -e
cat "$work/run2.log"
[[ $status -ne 0 ]] || fail "ansible-playbook succeeded although both hosts failed"
grep -Eq '^rack-a +: ok=[0-9]+ +changed=1 .*failed=1 ' "$work/run2.log" ||
  fail "rack-a is not reported failed after its report was fetched"
grep -Eq '^rack-b +: .*failed=1 ' "$work/run2.log" || fail "rack-b is not reported failed"
grep -q "trelk-fleet: a hub failed on rack-a" "$work/run2.log" || fail "no message for rack-a's failed hub"
results=$(report_field "$work/reports/rack-a.json" '" ".join(h["result"] for h in r["hubs"])')
[[ $results == "updated failed" ]] || fail "rack-a's report holds results '$results'"
mode=$(report_field "$work/reports/rack-a.json" 'r["hubs"][0]["mode_after"]')
[[ $mode == bootloader ]] || fail "trelk_no_restart did not reach rack-a: its hub is in '$mode' mode"
[[ ! -e $work/reports/rack-b.json ]] || fail "a report of rack-b is left although trelk-fleet could not run"
[[ $(wc -l <"$work/reports/rack-a.history.jsonl") -eq 2 ]] || fail "rack-a's history was not fetched whole"
[[ ! -e $work/reports/rack-b.history.jsonl ]] || fail "a history of rack-b was fetched although trelk-fleet could not run"
echo "rack-a: report fetched ($results), host failed; rack-b: host failed, no report"

# The offline flow, with the real trelk-fleet: a mirror made on the control
# machine (here from a folder laid out as the server), the hosts told to use
# it and to trust only what the control machine's SHA256SUMS lists (copied to
# each host). A dry run: the plan says where the package comes from.
if [[ $fleet != "$stand_in" ]]; then
  mkdir -p "$work/origin/firmware"
  cp "$sample" "$work/origin/firmware/hub-v3.10.ufw"
  echo "310,hub-v3.10.ufw,$(($(stat -c %s "$sample") + 1)),Stable" >"$work/origin/firmware/manifest"
  echo "1030,310" >"$work/origin/firmware/stable"
  "$fleet" --mirror "$work/mirror" --server "$work/origin" >"$work/mirror.log" 2>&1 ||
    { cat "$work/mirror.log"; fail "trelk-fleet --mirror failed"; }
  start_hub hub-c 300
  set +e
  ansible-playbook -i localhost, -c local "$playbook" -e "$(python3 -c '
import json, sys
print(json.dumps({"trelk_fleet": sys.argv[1], "trelk_report_dir": sys.argv[2],
                  "trelk_server": sys.argv[3], "trelk_sha256sums": sys.argv[3] + "/SHA256SUMS",
                  "trelk_history": sys.argv[3] + "-history/history.jsonl",
                  "trelk_fleet_args": ["--port", sys.argv[4], "--dry-run"]}))
' "$fleet" "$work/reports" "$work/mirror" "$work/hub-c.port")" >"$work/run3.log" 2>&1
  status=$?
  set -e
  cat "$work/run3.log"
  [[ $status -eq 0 ]] || fail "ansible-playbook exited with $status on the mirror's dry run"
  line=$(report_field "$report" \
    "'%s %s %s %s' % (r['source'], r['hubs'][0]['package'], r['hubs'][0]['verified'], r['hubs'][0]['reason'])")
  [[ $line == "$work/mirror hub-v3.10.ufw True dry run: would update v3.00 to v3.10" ]] ||
    fail "the mirror's dry run reported '$line'"
  [[ -z $(ls -A "$work/tmp") ]] || fail "left behind on the host: $(ls -A "$work/tmp")"
  [[ ! -e $work/reports/localhost.history.jsonl ]] || fail "a dry run added to the history"
  echo "mirror: $line"
fi
echo "ok"
