#!/usr/bin/env bash
# Starts hestolvane-lab on 127.0.0.1 with a few machines fed by hestolvane-sim, so that its dashboard
# shows real buckets at once: two machines in followed capture files, one on a loopback TCP serial
# server, and a watched directory where a new capture file is a new machine. Ctrl-C ends it all.
set -euo pipefail
cd "$(dirname "$0")/.."

port=${HESTOLVANE_LAB_PORT:-8080}
if [ ! -x build/host/lab/hestolvane-lab ] || [ ! -x build/host/tools/hestolvane-sim ]; then
  cmake --preset host >/dev/null
  cmake --build build/host -j2 --target hestolvane-lab hestolvane-sim
fi
sim=$PWD/build/host/tools/hestolvane-sim
work=$(mktemp -d /tmp/hestolvane-lab-demo-XXXXXX)
mkdir -p "$work/libvirt"
feeders=()
cleanup() {
  for pid in "${feeders[@]}"; do kill "$pid" 2>/dev/null || true; done
  echo "the demo's index and captures are in $work"
}
trap cleanup EXIT

# A TCP serial server as QEMU's -serial tcp:...,server,nowait: Debian's python3 is enough for one.
tcp_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 - "$tcp_port" "$sim" <<'PY' &
import socket, subprocess, sys, time
server = socket.create_server(("127.0.0.1", int(sys.argv[1])))
while True:
    client, _ = server.accept()
    try:
        for code in ("50,FFFFF80000001000,0,FFFFF80012345678,2", "D1,0,2,0,FFFFF80012345678"):
            client.sendall(subprocess.run([sys.argv[2], "--bugcheck", code], capture_output=True).stdout)
            time.sleep(3)
        while True:
            time.sleep(20)
            client.sendall(subprocess.run([sys.argv[2]], capture_output=True).stdout)
    except OSError:
        client.close()
PY
feeders+=($!)

cat >"$work/lab.toml" <<EOF2
index = "$work/lab.db"
listen = "127.0.0.1:$port"

[symbols]
images = { "hestolvane-sim.sys" = "$sim" }
triage = ["hestolvane-sim.sys!BugCheckDumpCallback=ignore", "hestolvane-sim.sys!sim::*=ignore"]

[[machine]]
name = "build-vm-1"
source = "file://$work/build-vm-1.txt"
tags = { pool = "build", build = "26100" }

[[machine]]
name = "build-vm-2"
source = "file://$work/build-vm-2.txt"
tags = { pool = "build", build = "22631" }

[[machine]]
name = "qemu-vm-3"
source = "tcp://127.0.0.1:$tcp_port"
tags = { pool = "qemu" }

[[watch]]
directory = "$work/libvirt"
suffix = "-serial.log"
tags = { pool = "libvirt" }
EOF2

"$sim" --bugcheck 1E,C0000005,FFFFF80012345678,0,0 >"$work/build-vm-1.txt" 2>/dev/null
"$sim" --boots 2 --die-during-walk >"$work/build-vm-2.txt" 2>/dev/null
# A machine whose first report was lost: its next boot says the one before crashed.
(
  sleep 4
  "$sim" 2>/dev/null | sed '/VQN Dump Begin./,/VQN Dump End./d' >"$work/libvirt/libvirt-vm-4-serial.log"
  "$sim" --no-tracking 2>/dev/null >>"$work/libvirt/libvirt-vm-4-serial.log"
  while sleep 15; do
    "$sim" --bugcheck 1E,C0000005,FFFFF80012345678,0,0 2>/dev/null >>"$work/build-vm-1.txt"
  done
) &
feeders+=($!)

echo "dashboard: http://127.0.0.1:$port/  (configuration: $work/lab.toml; Ctrl-C ends the demo)"
build/host/lab/hestolvane-lab --config "$work/lab.toml"
