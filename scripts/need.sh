#!/usr/bin/env bash
# Makes sure the Debian packages a make target needs are present.
# Usage: scripts/need.sh build|fuzz|bench
# As root it installs what is missing; otherwise it stops with the one line to run.
set -eu

case "${1:-build}" in
build) wanted="g++ cmake make libgtest-dev" ;;
fuzz) wanted="g++ cmake make libgtest-dev clang libclang-rt-14-dev" ;;
bench) wanted="g++ cmake make libgtest-dev sox time" ;;
*)
    echo "need.sh: unknown set '$1'" >&2
    exit 2
    ;;
esac

missing=""
for pkg in $wanted; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing="$missing $pkg"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
else
    echo "missing Debian packages:$missing" >&2
    echo "run: sudo apt-get install -y$missing" >&2
    exit 1
fi
