#!/bin/sh
# Runs the store's bare-SQL benchmark, then the whole-pass benchmark with
# those figures as its floor. Usage: bench/agent/run_bench.sh BUILD_DIR
# [extra bench_agent arguments]; the JSON results are left in BUILD_DIR.
set -eu
build=${1:?usage: run_bench.sh BUILD_DIR [bench_agent arguments]}
shift
floor="$build/bench_infostore_floor.json"
"$build/bench/infostore/bench_infostore" --benchmark_filter='BM_Sql_' \
    --benchmark_format=json --benchmark_out="$floor" --benchmark_out_format=json >/dev/null
exec "$build/bench/agent/bench_agent" --floor "$floor" \
    --benchmark_out="$build/bench_agent.json" --benchmark_out_format=json "$@"
