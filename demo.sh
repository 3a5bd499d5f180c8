#!/usr/bin/env bash
# Builds the server and its tools, starts the simulated interface on a pseudo-terminal and
# the server on this terminal, pointed at it. Arguments go to the server.
set -euo pipefail
cd "$(dirname "$0")"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target lanquet5 tavix-sim lanquet5-client >/dev/null
sim_out=$(mktemp)
build/tools/tavix-sim --pace >"$sim_out" &
sim=$!
trap 'kill $sim 2>/dev/null; rm -f "$sim_out"' EXIT
for _ in $(seq 100); do [ -s "$sim_out" ] && break; sleep 0.05; done
export LANG=${LANG:-C.UTF-8}
LANQUET5_COM1=$(head -n 1 "$sim_out") LANQUET5_COM2=/nonexistent build/lanquet5 "$@"
