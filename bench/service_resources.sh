#!/usr/bin/env bash
# Resources of the running service:
#  1. processor time used by a service left idle for IDLE_SECONDS (default 60) with a 300 s period;
#  2. resident size after 10 and after POLLS (default 1000) polls of the simulator with Period 0.
# Usage: bench/service_resources.sh [build-dir] [idle|polls|all]
#        (IDLE_SECONDS=.. POLLS=.. to shorten)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
idle_seconds=${IDLE_SECONDS:-60}
polls=${POLLS:-1000}
part=${2:-all}
loader=$build/PelornDataLoader
sim=$build/pelorn-server-sim
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

ticks=$(getconf CLK_TCK)
cpu_ms() {  # utime + stime of a process, in ms
    awk -v t="$ticks" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1000 / t }' "/proc/$1/stat"
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# 1. Idle.
if [ "$part" != polls ]; then
mkdir -p "$work/idle"
printf '[ONLINE]\nPeriod=300\n' >"$work/idle/PelornDataLoader.ini"
"$loader" --home "$work/idle" --quiet &
idle=$!
pids+=("$idle")
sleep 3  # the start sequence and the first tick
before=$(cpu_ms "$idle")
sleep "$idle_seconds"
after=$(cpu_ms "$idle")
echo "idle: processor time over ${idle_seconds} s with Period 300: $(awk -v a="$after" -v b="$before" 'BEGIN { print a - b }') ms (total since start ${after} ms)"
kill "$idle"
fi
[ "$part" = idle ] && exit 0

# 2. Memory across polls.
mkdir -p "$work/tree/0012345" "$work/home/DBF"
for day in 110301 110302 110303; do
    head -c 20000 /dev/urandom >"$work/tree/0012345/0012345-$day.bin"
    head -c 3000 /dev/urandom >"$work/tree/0012345/0012345-$day.sbin"
done
"$sim" --root "$work/tree" --log "$work/requests.log" >"$work/sim.out" &
pids+=("$!")
for _ in $(seq 100); do grep -q listening "$work/sim.out" 2>/dev/null && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/sim.out")
mkdir -p "$work/home/DBF/127.0.0.1-$port"
printf '0012345: PASSWORD=pw;\r\n' >"$work/home/DBF/127.0.0.1-$port/dev.zrk"
printf '[ONLINE]\nPeriod=0\n' >"$work/home/PelornDataLoader.ini"
"$loader" --home "$work/home" --quiet &
svc=$!
pids+=("$svc")
requests() { [ -f "$work/requests.log" ] && wc -l <"$work/requests.log" || echo 0; }
wait_polls() {
    while [ "$(requests)" -lt "$1" ]; do
        kill -0 "$svc" 2>/dev/null || { echo "the service ended early" >&2; exit 1; }
        sleep 1
    done
}
wait_polls 10
echo "memory: resident size after $(requests) polls: $(rss_kb "$svc") kB"
start=$(date +%s)
wait_polls "$polls"
echo "memory: resident size after $(requests) polls: $(rss_kb "$svc") kB ($(($(date +%s) - start)) s)"
echo "archive: $(find "$work/home/Data" -type f | wc -l) files, $(du -sb "$work/home/Data" | cut -f1) bytes"
