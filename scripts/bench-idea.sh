#!/usr/bin/env bash
# Codec figures: IDEA MB/s on 128 KiB buffers per kernel against Botan's IDEA in the same run, and
# ParsePackets MB/s of message bytes with its decrypt and decompress shares. Figures, never pass/fail.
# Usage: scripts/bench-idea.sh [native build folder, default build/native]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/native}
[ -f "$build/build.ninja" ] || (cd "$here" && cmake --preset native -B "$build" >/dev/null)
cmake --build "$build" -j2 --target idea_simd_bench download_parse_bench >/dev/null

out=$(mktemp -d /tmp/orvane-bench-idea.XXXXXX)
trap 'rm -rf "$out"' EXIT
# Repetitions with the median: the machine is shared, so single runs wander.
args=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=json)
"$build/bench/idea_simd_bench" "${args[@]}" --benchmark_filter='BM_(Idea|BotanIdea)/' >"$out/idea.json"
"$build/bench/download_parse_bench" "${args[@]}" >"$out/parse.json"

python3 - "$out/idea.json" "$out/parse.json" <<'PY'
import json, sys

def medians(path):
    rates = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median" and "bytes_per_second" in b:
            rates[b["run_name"]] = (b["bytes_per_second"] / 1e6, b.get("label", ""))
    return rates

idea = medians(sys.argv[1])
print("IDEA, 128 KiB buffers, median of 5 (MB/s = 10^6 bytes/s of CPU time)")
print(f"  {'path':10} {'encrypt':>9} {'decrypt':>9} {'enc/Botan':>10} {'dec/Botan':>10}")
botan = {d: idea.get(f"BM_BotanIdea/{d}", (0, ""))[0] for d in ("encrypt", "decrypt")}
rows = [("botan", "BM_BotanIdea/")] + [(p, f"BM_Idea/{p}_") for p in ("scalar", "sse2", "avx2", "avx512bw")]
for name, prefix in rows:
    enc, dec = (idea.get(prefix + d, (0, ""))[0] for d in ("encrypt", "decrypt"))
    if enc == 0:
        print(f"  {name:10} {'(not supported by this CPU)':>40}")
        continue
    ratio = lambda v, d: f"{v / botan[d]:.2f}x" if botan[d] else "-"
    print(f"  {name:10} {enc:9.0f} {dec:9.0f} {ratio(enc, 'encrypt'):>10} {ratio(dec, 'decrypt'):>10}")

parse = medians(sys.argv[2])
print("ParsePackets, 16 type-6 packets of 128 KiB messages, MB/s of message bytes")
for kind, arg in (("executables", 0), ("synthetic", 1)):
    whole = parse.get(f"BM_ParsePackets/{arg}", (0, ""))[0]
    dec = parse.get(f"BM_ParseShare/{arg}/0", (0, ""))[0]
    lzo = parse.get(f"BM_ParseShare/{arg}/1", (0, ""))[0]
    print(f"  {kind:12} ParsePackets {whole:6.0f}   decrypt alone {dec:6.0f}   decompress alone {lzo:6.0f}")
PY
