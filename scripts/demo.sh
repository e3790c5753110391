#!/usr/bin/env bash
# Shows natchat crossing two NAT routers on this one machine (root: network namespaces).
#   scripts/demo.sh                 two scripted peers chat; both transcripts are shown
#   scripts/demo.sh --interactive   two natchat peers in tmux panes, for you to type into
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh needs root: it builds a NAT lab out of network namespaces" >&2
  exit 1
fi
"$root/scripts/deps.sh" demo
natchat=$("$root/scripts/build-release.sh")

if [ "${1:-}" != "--interactive" ]; then
  exec python3 "$root/lab/demo.py" "$natchat"
fi

export LAB_PREFIX=ncl-demo
lab="$root/lab/lab.sh"
trap '"$lab" down' EXIT
"$lab" up
session=natchat-demo
tmux kill-session -t "$session" 2>/dev/null || true
tmux new-session -d -s "$session" -x 200 -y 50 \
  "echo 'Host a1, behind router A'; ip netns exec $LAB_PREFIX-a1 $natchat; read -r -p 'natchat ended; Enter closes' _"
tmux split-window -h -t "$session" \
  "echo 'Host b1, behind router B'; ip netns exec $LAB_PREFIX-b1 $natchat; read -r -p 'natchat ended; Enter closes' _"
cat <<'TEXT'
Two natchat peers run in tmux panes, a1 behind router A and b1 behind router B. In each pane,
enter the other's "DIFFERENT NETWORK (internet)" address and port (switch panes with Ctrl-b o),
then chat. Type quit in both panes to end; the lab is torn down afterwards.
TEXT
if [ -t 0 ]; then
  tmux attach -t "$session"
else
  echo "(no terminal here: attach from one with 'tmux attach -t $session'; waiting for it to end)"
  while tmux has-session -t "$session" 2>/dev/null; do sleep 1; done
fi
