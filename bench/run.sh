#!/usr/bin/env bash
# Times both tools against what a user would otherwise run, with the page cache warm.
# Usage: bench/run.sh BUILD_DIR WORK_DIR    (BENCH_RUNS=5 by default)
set -euo pipefail
export LC_ALL=C
build=$(cd "$1" && pwd)
mkdir -p "$2"
work=$(cd "$2" && pwd)
runs=${BENCH_RUNS:-5}
top=$(cd "$(dirname "$0")/.." && pwd)

[ -d "$work/tree" ] || "$build/bench/make_inputs" tree "$work/tree"
[ -f "$work/song.wav" ] || "$build/bench/make_inputs" wav "$work/song.wav" 600

# The order qelpack packs in: names in byte order, a subdirectory's files where it stands.
pack_order() {
    local name sub
    for name in $(ls -A "$1" | sort); do
        case $name in .*) continue ;; esac
        if [ -d "$1/$name" ]; then
            for sub in $(ls -A "$1/$name" | sort); do
                case $sub in .*) continue ;; esac
                [ -f "$1/$name/$sub" ] && echo "$1/$name/$sub"
            done
        else
            echo "$1/$name"
        fi
    done
}
pack_order "$work/tree" >"$work/order.txt"

# Runs a command `runs` times after one warm-up; sets med (seconds) and mem (peak KB).
measure() {
    local dir=$1
    shift
    local times=() t0 t1
    (cd "$dir" && "$@" >/dev/null 2>&1)
    for _ in $(seq "$runs"); do
        t0=$(date +%s%N)
        (cd "$dir" && /usr/bin/time -f %M -o "$work/mem.txt" "$@" >/dev/null 2>&1)
        t1=$(date +%s%N)
        times+=($(((t1 - t0) / 1000)))
    done
    med=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
    med=$(awk -v us="$med" 'BEGIN { printf "%.3f", us / 1e6 }')
    mem=$(cat "$work/mem.txt")
}

row() {  # name, seconds, KB, baseline seconds
    awk -v n="$1" -v s="$2" -v m="$3" -v b="$4" \
        'BEGIN { printf "%-44s %8.3f s %8.1f MB %7.2f x\n", n, s, m / 1024, s / b }'
}

mkdir -p "$work/out"
tree_mb=$(du -sm --apparent-size "$work/tree" | cut -f1)
wav_mb=$(du -sm --apparent-size "$work/song.wav" | cut -f1)
echo "runs: $runs, median wall time; peak resident memory; ratio to the first line of each group"
echo
echo "== packing a tree of 1023 files, $tree_mb MB"
measure "$work/out" sh -c "xargs cat <'$work/order.txt' >cat.out"
base=$med
row "cat of the same files into one file" "$med" "$mem" "$base"
measure "$work/out" "$build/qelpack/qelpack" "$work/tree"
row "qelpack" "$med" "$mem" "$base"
measure "$work/out" tar -cf tree.tar -C "$work" tree
row "tar -cf" "$med" "$mem" "$base"

echo
echo "== converting a 10-minute 44.1 kHz stereo WAV, $wav_mb MB"
cp "$work/song.wav" "$work/out/song.wav"
if command -v sox >/dev/null 2>&1; then
    measure "$work/out" sox song.wav -r 22050 -c 1 -t vox song.vox
    base=$med
    row "sox to 4-bit vox" "$med" "$mem" "$base"
else
    echo "(sox not installed: ratios are to sndsquash itself)"
    base=
fi
measure "$work/out" "$build/sndsquash/sndsquash" song.wav
[ -n "$base" ] || base=$med
row "sndsquash, every stage on" "$med" "$mem" "$base"
squash_mem=$mem
measure "$work/out" sh -c "cat song.wav >/dev/null"
row "plain read of the WAV" "$med" "$mem" "$base"
awk -v m="$squash_mem" -v w="$(stat -c %s "$work/song.wav")" \
    'BEGIN { printf "sndsquash peak memory / input size: %.2f\n", m * 1024 / w }'

echo
echo "== image reader"
"$build/bench/reader_bench"
