#!/usr/bin/env bash
# Runs both tools on the bundled examples; everything it writes goes under the demo folder.
set -eu
build=$1
demo=$2
top=$(pwd)
rm -rf "$demo"
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)

echo "== qelpack examples/assets  (in $demo)"
(cd "$demo" && "$top/$build/qelpack/qelpack" "$top/examples/assets")
echo "-- root.bin: $(stat -c %s "$demo/root.bin") bytes"
echo "-- qelpack -l root.bin"
(cd "$demo" && "$top/$build/qelpack/qelpack" -l root.bin)
echo "-- qelpack -t root.bin"
(cd "$demo" && "$top/$build/qelpack/qelpack" -t root.bin)

for wav in "$top"/examples/*.wav; do
    [ -e "$wav" ] || continue
    name=$(basename "$wav")
    cp "$wav" "$demo/$name"
    echo
    echo "== sndsquash $name  (in $demo)"
    (cd "$demo" && "$top/$build/sndsquash/sndsquash" "$name")
    echo "-- ${name%.wav}.pcm: $(stat -c %s "$demo/${name%.wav}.pcm") bytes"
    od -A d -t x1 "$demo/${name%.wav}.pcm" | head -n 4
done
