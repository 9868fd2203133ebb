#!/usr/bin/env bash
# Bad input for both programs, one table row per case: what is set up, the command, the status,
# a line the output must hold, and what must (or must not) be on disk afterwards.
# Usage: bad_input.sh QELPACK SNDSQUASH SCRATCH
set -u
export LC_ALL=C
qelpack=$1
sndsquash=$2
scratch=$3
passed=0
failed=0

# 32-bit little-endian as printf escapes.
le32() {
    printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) \
        $(($1 >> 24 & 255))
}

# A canonical 44-byte header declaring DATA bytes, then FOLLOW bytes of samples.
wav() {
    local data=$1 follow=$2
    printf "RIFF$(le32 $((36 + data)))WAVEfmt $(le32 16)\\x01\\x00\\x02\\x00$(le32 44100)"
    printf "$(le32 176400)\\x04\\x00\\x10\\x00data$(le32 "$data")"
    head -c "$follow" /dev/zero | tr '\0' '\1'
}

# A header, a LIST chunk of N data bytes, then data.
wav_with_list() {
    wav 0 0 | head -c 36
    printf "LIST$(le32 "$1")"
    head -c "$1" /dev/zero
    printf "data$(le32 8)"
    head -c 8 /dev/zero
}

# Overwrites bytes of FILE at OFFSET with the printf-escaped TEXT.
poke() {
    printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# A two-entry image: top-level "a" (3 bytes), then "snd/b" (5 bytes); next of the first is 112.
make_image() {
    mkdir -p tree/snd && printf 'abc' >tree/a && printf 'bbbbb' >tree/snd/b
    "$qelpack" tree >/dev/null && rm -rf tree
}

# row NAME SETUP EXPECTED_STATUS EXPECTED_LINE CHECK -- COMMAND...
# EXPECTED_LINE must be one whole line of standard output ("" to skip); CHECK is a bash
# condition evaluated afterwards in the scratch folder ("" to skip).
row() {
    local name=$1 setup=$2 want_status=$3 want_line=$4 check=$5
    shift 6
    local dir="$scratch/$name"
    rm -rf "$dir" && mkdir -p "$dir" && cd "$dir" || exit 2
    eval "$setup"
    timeout 60 "$@" >stdout.txt 2>stderr.txt </dev/null
    local status=$? why=""
    [ "$status" = "$want_status" ] || why="status $status, expected $want_status"
    if [ -z "$why" ] && [ -n "$want_line" ] && ! grep -qxF -- "$want_line" stdout.txt; then
        why="no line '$want_line' in stdout"
    fi
    if [ -z "$why" ] && [ -n "$check" ] && ! eval "$check"; then why="check failed: $check"; fi
    cd "$scratch" || exit 2
    if [ -n "$why" ]; then
        failed=$((failed + 1))
        echo "FAIL $name: $why"
        sed 's/^/    | /' "$dir/stdout.txt" | head -n 20
    else
        passed=$((passed + 1))
        rm -rf "$dir"
    fi
}

rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" || exit 2

# --- sndsquash: a canonical WAV cut after every header byte, and a little past it. ----------
# Tags are announced as far as their four bytes fit; without the whole size field after "data"
# the file is not a WAV; with it, the declared 4000 bytes are more than the file holds.
for k in $(seq 0 48); do
    tags=""
    [ "$k" -ge 4 ] && tags="'RIFF' "
    [ "$k" -ge 12 ] && tags="$tags'WAVE' "
    [ "$k" -ge 16 ] && tags="$tags'fmt ' "
    [ "$k" -ge 40 ] && tags="$tags'data' "
    if [ "$k" = 0 ]; then
        row "wav-cut-$k" "wav 4000 4000 | head -c $k >t.wav" 255 "malloc error:0kb" \
            "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
    elif [ "$k" -lt 44 ]; then
        row "wav-cut-$k" "wav 4000 4000 | head -c $k >t.wav" 255 "${tags}file is not WAV !!" \
            "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
    else
        row "wav-cut-$k" "wav 4000 4000 | head -c $k >t.wav" 0 \
            "${tags}WAV file data size mismatch !!" "[ ! -e t.pcm ] && tail -n1 stdout.txt | grep -qx done" \
            -- "$sndsquash" t.wav
    fi
done

# Data sizes: 0 converts (a silent signal trims to 256 zero samples, 128 bytes); negative,
# equal to the file and past it are refused; more than follows but less than the file is cut.
row wav-size-0 "wav 0 0 >t.wav" 0 "done" '[ "$(stat -c %s t.pcm)" = 128 ]' -- "$sndsquash" t.wav
row wav-size-negative "wav $((0x80000000)) 100 >t.wav" 0 "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!" \
    "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
row wav-size-equal-file "wav 144 100 >t.wav" 0 "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!" \
    "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
row wav-size-past-file "wav 1000000 100 >t.wav" 0 "'RIFF' 'WAVE' 'fmt ' 'data' WAV file data size mismatch !!" \
    "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
row wav-size-cut "wav 120 100 >t.wav" 0 "conv_count=50 " "[ -s t.pcm ]" -- "$sndsquash" -N0 t.wav
row wav-size-tiny "wav 2 2 >t.wav" 0 "conv_count=1 " "[ -s t.pcm ]" -- "$sndsquash" t.wav

# The tag scan's budget: a LIST chunk of 30 bytes still lets "data" be found, one of 100 not.
row wav-list-30 "wav_with_list 30 >t.wav" 0 "done" "[ -s t.pcm ]" -- "$sndsquash" t.wav
row wav-list-100 "wav_with_list 100 >t.wav" 255 "'RIFF' 'WAVE' 'fmt ' file is not WAV !!" \
    "[ ! -e t.pcm ]" -- "$sndsquash" t.wav

# Inputs that are no WAV at all, or no file.
row wav-text "printf 'just some words, not a sound at all\n%.0s' 1 2 3 >t.wav" 255 \
    "file is not WAV !!" "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
row wav-directory "mkdir t.wav" 255 "file open err:'t.wav'" "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
row wav-missing "" 255 "file open err:'none.wav'" "[ ! -e none.pcm ]" -- "$sndsquash" none.wav
row wav-fifo "mkfifo t.wav" 255 "file open err:'t.wav'" "[ ! -e t.pcm ]" -- "$sndsquash" t.wav
row wav-dangling-link "ln -s gone.wav t.wav" 255 "file open err:'t.wav'" "[ ! -e t.pcm ]" \
    -- "$sndsquash" t.wav

# The output cannot be created or written; a failed run leaves an earlier output alone.
row pcm-is-directory "wav 400 400 >t.wav && mkdir t.pcm" 255 "file open err:'t.pcm'" \
    "[ -d t.pcm ]" -- "$sndsquash" t.wav
row pcm-device-full "wav 400 400 >t.wav && ln -s /dev/full t.pcm" 255 "" \
    "[ -L t.pcm ] && grep -q \"file write err:'t.pcm'\" stdout.txt" -- "$sndsquash" t.wav
row pcm-kept-on-bad-input "printf 'nope' >t.wav && printf 'keep' >t.pcm" 255 \
    "file is not WAV !!" '[ "$(cat t.pcm)" = keep ]' -- "$sndsquash" t.wav
row pcm-kept-on-bad-option "wav 400 400 >t.wav && printf 'keep' >t.pcm" 1 "argv[1]='-D7'" \
    '[ "$(cat t.pcm)" = keep ]' -- "$sndsquash" -D7 t.wav

# Names around and past the old 256-byte texts convert in full, beside their input.
for len in 250 255 256 300; do
    dirname=$(printf 'd%.0s' $(seq 1 $((len - 117))))
    row "wav-path-$len" "mkdir $dirname && wav 400 400 >$dirname/$(printf 'n%.0s' $(seq 1 112)).wav" 0 "done" \
        "[ -s $dirname/$(printf 'n%.0s' $(seq 1 112)).pcm ]" \
        -- "$sndsquash" "$dirname/$(printf 'n%.0s' $(seq 1 112)).wav"
done

# --- qelpack: images cut inside every header field, and damaged links between entries. ----
for k in 1 4 8 12 16 20 36 68 100 103; do
    row "image-cut-$k-list" "make_image && head -c $k root.bin >cut.bin" 255 \
        "entry 0 at 00000000: header runs past the end of the image" "" -- "$qelpack" -l cut.bin
    row "image-cut-$k-test" "make_image && head -c $k root.bin >cut.bin" 255 "" "" \
        -- "$qelpack" -t cut.bin
    row "image-cut-$k-extract" "make_image && head -c $k root.bin >cut.bin" 255 "" \
        '[ "$(ls)" = "$(printf "cut.bin\nroot.bin\nstderr.txt\nstdout.txt")" ]' \
        -- "$qelpack" -e cut.bin
done
row image-empty-list "make_image && : >cut.bin" 255 "image is empty" "" -- "$qelpack" -l cut.bin
row image-cut-in-data "make_image && head -c 106 root.bin >cut.bin" 255 \
    "entry 0 at 00000000: data runs past the end of the image" "" -- "$qelpack" -l cut.bin
# Cut inside the second header: the first entry is still unpacked.
for k in 112 150 215; do
    row "image-cut-second-$k" "make_image && head -c $k root.bin >cut.bin" 255 \
        "entry 1 at 00000070: header runs past the end of the image" "[ \"\$(cat a)\" = abc ] && [ ! -e snd ]" \
        -- "$qelpack" -e cut.bin
done
row image-next-backwards "make_image && poke root.bin 12 '$(le32 16)'" 255 \
    "entry 0 at 00000000: next falls inside the entry" "" -- "$qelpack" -l root.bin
row image-next-zero-early "make_image && poke root.bin 12 '$(le32 0)'" 255 "" \
    "grep -q \"114 bytes follow the last entry's data\" stdout.txt" -- "$qelpack" -t root.bin
row image-next-outside "make_image && poke root.bin 12 '$(le32 65536)'" 255 \
    "entry 0 at 00000000: next leads past the end of the image" "" -- "$qelpack" -l root.bin
row image-name-without-nul "make_image && poke root.bin 68 'AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA'" 255 \
    "entry 0 at 00000000: file name has no NUL within 32 bytes" "" -- "$qelpack" -l root.bin
row image-label-without-nul "make_image && poke root.bin 148 'SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS'" 255 \
    "entry 1 at 00000070: directory name has no NUL within 32 bytes" "" -- "$qelpack" -l root.bin
row image-head-magic "make_image && poke root.bin 112 'QeLx'" 255 \
    "entry 1 at 00000070: head magic is not QeLh" "" -- "$qelpack" -l root.bin
row image-tail-magic "make_image && poke root.bin 212 'QeLx'" 255 \
    "entry 1 at 00000070: tail magic is not QeLf" "" -- "$qelpack" -l root.bin
row image-sound "make_image" 0 "sound: 2 entries" "" -- "$qelpack" -t root.bin

# --- qelpack: a failed or refused run leaves an existing root.bin alone. ------------------
row root-kept-on-bad-option "printf keep >root.bin" 1 "" '[ "$(cat root.bin)" = keep ]' \
    -- "$qelpack" -x .
row root-kept-on-usage "printf keep >root.bin" 0 "" '[ "$(cat root.bin)" = keep ]' -- "$qelpack"

echo "bad input: $passed passed, $failed failed"
[ "$failed" = 0 ]
