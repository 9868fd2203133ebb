#!/usr/bin/env bash
# Runs one command-line case folder against a built program and compares what it did.
#
# A case folder may hold:
#   args            the arguments, one per line (@SCRATCH@ stands for the scratch folder)
#   in/             copied into a fresh scratch folder, where the program runs
#   setup           bash script run in the scratch folder before the program
#   stdout, stderr  the exact bytes expected (absent: nothing expected); {{BUILD_DATE}} stands
#                   for the banner's build date and time
#   status          the exit status expected (absent: 0)
#   out/            every file the run must create or change, with its exact bytes; any other
#                   file created or changed fails the case
#   check           bash script run in the scratch folder afterwards; must exit 0
set -u
export LC_ALL=C

bin=$1
case_dir=$2
scratch=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

chmod -R u+rwx "$scratch" 2>/dev/null
rm -rf "$scratch"
mkdir -p "$scratch" || fail "cannot make $scratch"
if [ -d "$case_dir/in" ]; then
    cp -a "$case_dir/in/." "$scratch/" || fail "cannot copy in/"
fi
cd "$scratch" || fail "cannot enter $scratch"
if [ -f "$case_dir/setup" ]; then
    BIN=$bin bash "$case_dir/setup" || fail "setup failed"
fi

# One or more "path<TAB>signature" lines per file and link; huge sparse files are not hashed.
snapshot() {
    {
        find . -path ./.case -prune -o -type f -printf '%p\t%s %T@\n'
        find . -path ./.case -prune -o -type f -size -65536k -exec sha256sum {} + |
            sed -E 's/^([0-9a-f]{64})  (.*)$/\2\t\1/'
        find . -path ./.case -prune -o -type l -printf '%p\t-> %l\n'
    } | sort
}
mkdir .case
snapshot >.case/before

args=()
if [ -f "$case_dir/args" ]; then
    while IFS= read -r line || [ -n "$line" ]; do
        args+=("${line//@SCRATCH@/$scratch}")
    done <"$case_dir/args"
fi

timeout 120 "$bin" "${args[@]}" >.case/stdout 2>.case/stderr </dev/null
status=$?
snapshot >.case/after

ok=1
compare_stream() {
    local name=$1 expected=$case_dir/$1 actual=.case/$1
    [ -f "$expected" ] || expected=/dev/null
    if grep -q '{{BUILD_DATE}}' "$expected"; then
        sed -E 's/[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}/{{BUILD_DATE}}/' \
            "$actual" >"$actual.norm"
        actual=$actual.norm
    fi
    if ! cmp -s "$expected" "$actual"; then
        echo "--- $name differs (expected, then actual):" >&2
        diff <(od -c "$expected") <(od -c "$actual") | head -40 >&2
        ok=0
    fi
}
compare_stream stdout
compare_stream stderr

want_status=0
[ -f "$case_dir/status" ] && want_status=$(tr -d ' \n' <"$case_dir/status")
if [ "$status" != "$want_status" ]; then
    echo "--- status $status, expected $want_status" >&2
    ok=0
fi

# Files the run created or changed must be exactly those of out/.
changed=$(comm -13 .case/before .case/after | cut -f1 | sort -u)
expected_files=""
if [ -d "$case_dir/out" ]; then
    expected_files=$(cd "$case_dir/out" && find . -type f | sort)
fi
if [ "$changed" != "$expected_files" ]; then
    echo "--- files created or changed:" >&2
    echo "${changed:-(none)}" >&2
    echo "--- expected:" >&2
    echo "${expected_files:-(none)}" >&2
    ok=0
fi
for f in $expected_files; do
    if ! cmp -s "$case_dir/out/$f" "$f"; then
        echo "--- $f differs from out/$f" >&2
        ok=0
    fi
done

if [ -f "$case_dir/check" ]; then
    BIN=$bin bash "$case_dir/check" || { echo "--- check failed" >&2; ok=0; }
fi

[ $ok = 1 ] || exit 1
exit 0
