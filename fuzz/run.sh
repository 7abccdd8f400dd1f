#!/bin/sh
# Replays every committed input of each fuzz target, then fuzzes each for
# SECONDS. Usage: fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# New inputs go to BUILD_DIR/corpus/<target>, crashes to BUILD_DIR/artifacts/.
set -eu
build=$(cd "$1" && pwd)
seconds=$2
shift 2
src=$(cd "$(dirname "$0")" && pwd)
targets=${*:-"frame miner_config network_config agent_config event_line miner_replies chip_dump service_url"}
symbolizer=/usr/lib/llvm-14/bin/llvm-symbolizer
[ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"

cd "$build"
mkdir -p artifacts
for t in $targets; do
    mkdir -p "corpus/$t"
    # The targets see only their working directory of the checkout (the rest may
    # be hidden under their private /tmp), so the committed inputs are copied in.
    rm -rf "seeds/$t"
    mkdir -p seeds
    cp -R "$src/corpus/$t" "seeds/$t"
    echo "fuzz: $t: replaying $(ls "seeds/$t" | wc -l) committed inputs"
    "./fuzz/fuzz_$t" -close_fd_mask=3 "seeds/$t"/* > "artifacts/$t.replay.log" 2>&1 || {
        cat "artifacts/$t.replay.log"
        exit 1
    }
done
for t in $targets; do
    echo "fuzz: $t: $seconds s"
    "./fuzz/fuzz_$t" -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="artifacts/$t-" "corpus/$t" "seeds/$t" > "artifacts/$t.log" 2>&1 || {
        tail -60 "artifacts/$t.log"
        exit 1
    }
    grep -E '^#[0-9]+.*(DONE|pulse)' "artifacts/$t.log" | tail -1
done
