#!/usr/bin/env bash
# Runs a command on a private stage that looks like a machine with USB serial
# hubs and the firmware server, without touching the real one: a private mount
# and network namespace with
#   - a tmpfs over /dev holding only null, zero, urandom, tty, the host's
#     pseudo-terminals (pts bound in, ptmx as a link) and the given ttyUSB
#     names as symbolic links to simulator pseudo-terminals;
#   - a hosts file over /etc/hosts mapping the firmware host to 127.0.0.1;
#   - loopback up and, with --www, an HTTP server on port 80 serving DIR.
# Everything is undone when the namespace ends.
#
# Usage: private_net.sh --work DIR --host NAME [--www DIR] [--link NAME=TARGET]...
#                       [--hook PATH COMMAND]... -- COMMAND [ARG]...
# Writes into the work folder: hosts, dev-order (the ttyUSB names in the order
# the /dev listing gives them), requests (one requested path a line),
# server.log. Exits with the command's status (125 when setting up failed).
set -euo pipefail

all_args=("$@")
work="" host="" www=""
links=() hooks=()
while (($#)); do
  case "$1" in
    --work) work=$2; shift 2 ;;
    --host) host=$2; shift 2 ;;
    --www) www=$2; shift 2 ;;
    --link) links+=("$2"); shift 2 ;;
    --hook) hooks+=(--hook "$2" "$3"); shift 3 ;;
    --) shift; break ;;
    *) echo "private_net.sh: unknown argument $1" >&2; exit 125 ;;
  esac
done
if [[ -z $work || -z $host || $# -eq 0 ]]; then
  echo "private_net.sh: --work, --host and a command are required" >&2
  exit 125
fi

if [[ ${TRELK_PRIVATE_NET_INSIDE:-} != 1 ]]; then
  export TRELK_PRIVATE_NET_INSIDE=1
  exec unshare --mount --net --propagation private "$0" "${all_args[@]}"
fi

setup_failed() { echo "private_net.sh: $1" >&2; exit 125; }

ip link set lo up || setup_failed "no loopback"

# Build the new /dev aside, then move it over the real one (in this namespace
# only), so no folder ever holds a bind mount of the real /dev.
newdev="$work/dev"
mkdir -p "$newdev"
mount -t tmpfs -o mode=755 tmpfs "$newdev" || setup_failed "no tmpfs"
for node in null zero urandom tty; do
  touch "$newdev/$node"
  mount --bind "/dev/$node" "$newdev/$node" || setup_failed "cannot bind /dev/$node"
done
mkdir "$newdev/pts"
mount --bind /dev/pts "$newdev/pts" || setup_failed "cannot bind /dev/pts"
ln -s pts/ptmx "$newdev/ptmx"
mount --move "$newdev" /dev || setup_failed "cannot move the new /dev in place"
for l in "${links[@]}"; do
  ln -s "${l#*=}" "/dev/${l%%=*}"
done
ls -U /dev | grep '^ttyUSB' > "$work/dev-order" || true

printf '127.0.0.1 localhost\n127.0.0.1 %s\n' "$host" > "$work/hosts"
mount --bind "$work/hosts" /etc/hosts || setup_failed "cannot bind /etc/hosts"

server=""
if [[ -n $www ]]; then
  : > "$work/requests"
  rm -f "$work/server-ready"
  python3 "$(dirname "$0")/fwserver.py" --dir "$www" --port 80 --log "$work/requests" \
    --ready "$work/server-ready" "${hooks[@]}" > "$work/server.log" 2>&1 &
  server=$!
  for _ in $(seq 200); do
    [[ -e $work/server-ready ]] && break
    kill -0 "$server" 2>/dev/null || setup_failed "the HTTP server did not start"
    sleep 0.05
  done
  [[ -e $work/server-ready ]] || setup_failed "the HTTP server did not start in time"
fi

set +e
"$@"
status=$?
set -e
if [[ -n $server ]]; then
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
fi
exit "$status"
