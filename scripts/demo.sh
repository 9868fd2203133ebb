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
if [ -x "$top/$build/qelpack/qelpack" ] && "$top/$build/qelpack/qelpack" -l "$demo/root.bin" >/dev/null 2>&1; then
    (cd "$demo" && "$top/$build/qelpack/qelpack" -l root.bin)
else
    od -A d -t x1z "$demo/root.bin" | head -n 14
fi

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
