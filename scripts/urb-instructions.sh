#!/usr/bin/env bash
# Instructions per URB at 64 B, both directions, through the plug-in and through the
# stand-in-only server of bench_usb_throughput, counted by callgrind. Timings on a shared
# machine move by 10% from run to run; these counts do not, so they show whether a change
# to the URB path helped. Builds what it needs (build/plain, as scripts/test.sh does).
#
# Usage: scripts/urb-instructions.sh [build folder]   (default build/plain)
# Each row: the server thread's instructions per URB, split into the server's own code (the
# plug-in's, or the stand-in server's, with the C and C++ libraries it calls), its calls
# into the channel service (listed below the row), the channel service's own dispatch of
# the URB (client to host only) and the host's callback.
set -euo pipefail
cd "$(dirname "$0")/.."

dir="${1:-build/plain}"
"$(pwd)/scripts/install-deps.sh" valgrind
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBREDIR_BENCH=ON
fi
cmake --build "$dir" -j2 --target bench_usb_throughput

bench="$dir/bench/bench_usb_throughput"
out="$(mktemp -d /tmp/urb-instructions-XXXXXX)"
trap 'rm -rf "$out"' EXIT

# profile <label> <benchmark> <iterations> <entry> [handler]
profile() {
  local label="$1" filter="$2" iterations="$3" entry="$4" handler="${5:-}"
  USB_BENCH_ITERATIONS="$iterations" valgrind --tool=callgrind --callgrind-out-file="$out/cg" \
    --toggle-collect="$entry*" --compress-strings=no --compress-pos=no \
    "$bench" --benchmark_filter="^$filter/64/" --benchmark_repetitions=1 \
    --benchmark_enable_random_interleaving=false >"$out/log" 2>&1 ||
    { cat "$out/log" >&2; exit 1; }
  awk -v label="$label" -v entry="^$entry(\\(|\$)" \
      -v handler="${handler:+^$handler(\\(|\$)}" \
      -v service='libkapservice' -v host='OnMessageArrive|Consume' \
      -f scripts/callgrind-urb.awk "$out/cg"
}

echo "Instructions per 64 B URB (callgrind Ir), server thread"
# Client to host: the channel service's poll dispatches queued URBs to the server.
profile "client->host plug-in" "ClientToHost/Plugin" 4 SimChPoll3 RPCManager::OnDataMsgInvoke
profile "client->host stand-in" "ClientToHost/StandIn" 4 SimChPoll3 UsbStandInServer::OnDataInvoke
# Host to client: the host's send, from the export to the post in the client's inbox.
profile "host->client plug-in" "HostToClient/Plugin" 5000 UsbRedirectionProxy_SendResponse
profile "host->client stand-in" "HostToClient/StandIn" 5000 UsbStandInServer::PostUrb
# The plug-in at verbose level: three log lines per URB on the same thread.
profile "client->host verbose" "ClientToHost/PluginVerbose" 4 SimChPoll3 RPCManager::OnDataMsgInvoke
profile "host->client verbose" "HostToClient/PluginVerbose" 5000 UsbRedirectionProxy_SendResponse
