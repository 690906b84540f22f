# Hostile data files for the program's own directory, shared by tst_program_hostile.sh and the
# benchmark's start-up figures. Sourced after lib.sh.
#
# The program reads genmidi.txt (instrument names) at start-up and haap.txt (the song) when the
# play button is clicked. Files above 1 MiB, or with a line above 64 KiB, are refused.

# One row per case: NAME|FILES|REFUSAL
#   FILES    the data files that get the hostile bytes; any other keeps the shipped one
#   REFUSAL  the reason the box gives for refusing the file, empty when it is read
hostile_cases=(
    "random|genmidi haap|"
    "nul|genmidi haap|"
    "sparse_1g|genmidi haap|文件大于 1024 KiB 的上限"
    "lines_100k|genmidi haap|"
    "line_10mb|genmidi haap|文件大于 1024 KiB 的上限"
    "line_over_64k|genmidi haap|第 4 行长于 64 KiB 的上限"
    "beyond_16_bits|haap|"
    "invalid_utf8|genmidi haap|"
    "gbk|genmidi|"
    "line_ends_1m|genmidi haap|"
)

# hostile_write CASE PATH: writes the case's bytes to PATH.
hostile_write() {
    local path=$2
    case $1 in
        random)
            # 64 KiB from a fixed-seed Park-Miller generator: the same bytes on every machine and
            # with any awk, since every product stays below 2^53. About one line end in 128 bytes.
            LC_ALL=C awk 'BEGIN { x = 20240607
                for (i = 0; i < 65536; i++) { x = (x * 16807) % 2147483647; printf "%c", int(x / 8388608) } }' >"$path"
            ;;
        nul)
            # One line of exactly 64 KiB, the longest that is read.
            head -c 65536 /dev/zero >"$path"
            ;;
        sparse_1g)
            truncate -s 1G "$path"
            ;;
        lines_100k)
            # Every value from -7 to 33 presses two keys, so the whole song plays notes.
            awk 'BEGIN { for (i = 0; i < 100000; i++) printf "%d\r\n", i % 41 - 7 }' >"$path"
            ;;
        line_10mb)
            head -c 10485760 /dev/zero | tr '\0' 7 >"$path"
            ;;
        line_over_64k)
            # Three good lines, then one a byte too long, in a file well under the size limit.
            { printf '13\r\n20\r\n27\r\n'; head -c 65537 /dev/zero | tr '\0' 1; printf '\r\n'; } >"$path"
            ;;
        beyond_16_bits)
            # Values that do not fit 16 bits send nothing. The first four are 13 (a note) plus
            # 2^16, -2^16, 2^32 and 2^64, so a parser that wraps around plays them; the last
            # four lines play 13 and 20, holding in between, and end the song.
            printf '%s\r\n' 65549 -65523 4294967309 18446744073709551629 70000 -40000 99999999999999999999 \
                13 100 20 End >"$path"
            ;;
        invalid_utf8)
            # A stray continuation byte, an overlong '/', a UTF-16 surrogate, a sequence cut off,
            # a lone 0xFF: five lines, each starting with a note.
            printf '13 \x80\r\n20 \xc0\xaf\r\n27 \xed\xa0\x80\r\n20 \xe2\x82\r\n13 \xff\r\n' >"$path"
            ;;
        gbk)
            printf '大钢琴\r\n明亮的钢琴\r\n电钢琴\r\n' | iconv -f UTF-8 -t GBK >"$path"
            ;;
        line_ends_1m)
            # The most lines a file within the limits can hold: 1 MiB of nothing but line ends.
            head -c 1048576 /dev/zero | tr '\0' '\n' >"$path"
            ;;
        *)
            fail "hostile_write: no case named '$1'"
            ;;
    esac
}

# hostile_program_dir CASE FILES DIR PROGRAM: a program directory DIR holding a copy of PROGRAM,
# the case's bytes in each of FILES ("genmidi", "haap") and the shipped file for the others. A
# copy, not a link: the program finds its files beside /proc/self/exe, which a symbolic link
# resolves to the build directory.
hostile_program_dir() {
    local name=$1 files=$2 dir=$3 program=$4 file
    mkdir -p "$dir"
    cp "$program" "$dir/"
    for file in genmidi haap; do
        if [[ " $files " == *" $file "* ]]; then
            hostile_write "$name" "$dir/$file.txt"
        else
            cp "$(dirname "$program")/$file.txt" "$dir/"
        fi
    done
}

# hostile_first_map NAME CMD...: starts CMD as spawn NAME does and leaves in HOSTILE_MAP_US the
# microseconds from its launch until its first top-level window was mapped: the main window, or a
# box that holds it back. The X server reports each map as it happens, so the figure does not
# depend on a polling interval. The program is left running, its pid in E2E_PID (so this cannot
# run in a subshell). Needs start_xvfb.
hostile_first_map() {
    local name=$1 line="" started mapped=""
    shift
    # xev prints one event at a time and flushes after each.
    coproc HOSTILE_XEV { exec xev -root -event substructure -event property 2>/dev/null; }
    local watcher=$HOSTILE_XEV_PID
    # xev prints nothing until an event comes: a property set on the root shows it is listening.
    local deadline=$(($(_e2e_now_ms) + E2E_TIMEOUT * 1000))
    until [[ $line == PropertyNotify* ]]; do
        [ "$(_e2e_now_ms)" -lt "$deadline" ] || fail "xev did not start listening within ${E2E_TIMEOUT} s"
        xprop -root -f TIRREL_PROBE 8s -set TIRREL_PROBE "$deadline"
        while IFS= read -r -t 0.2 line <&"${HOSTILE_XEV[0]}" && [[ $line != PropertyNotify* ]]; do :; done
    done
    started=$EPOCHREALTIME
    spawn "$name" "$@"
    while IFS= read -r -t "$E2E_TIMEOUT" line <&"${HOSTILE_XEV[0]}"; do
        if [[ $line == MapNotify* ]]; then
            mapped=$EPOCHREALTIME
            break
        fi
    done
    kill "$watcher" 2>/dev/null || true
    wait "$watcher" 2>/dev/null || true
    [ -n "$mapped" ] || fail "$name mapped no window within ${E2E_TIMEOUT} s"
    HOSTILE_MAP_US=$((${mapped/[.,]/} - ${started/[.,]/}))
}

# hostile_startup_figures PROGRAM RUNS: for each case, the median over RUNS launches of the time
# to the first window, printed as `startup_hostile_CASE_ms: VALUE`. Each launch is ended once its
# window is mapped.
hostile_startup_figures() {
    local program=$1 runs=$2 row name files refusal dir run median
    local -a times
    for row in "${hostile_cases[@]}"; do
        IFS='|' read -r name files refusal <<<"$row"
        dir=$E2E_TMP/hostile-$name
        hostile_program_dir "$name" "$files" "$dir" "$program"
        times=()
        for ((run = 0; run < runs; run++)); do
            hostile_first_map "tirrel-$name" "$dir/tirrel"
            times+=("$HOSTILE_MAP_US")
            stop_process "$E2E_PID"
        done
        # The nearest-rank median, as the other start-up figures take it.
        median=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")
        printf 'startup_hostile_%s_ms: %d.%d\n' "$name" $((median / 1000)) $((median % 1000 / 100))
        rm -rf "$dir"
    done
}
