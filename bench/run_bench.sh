#!/usr/bin/env bash
# Measures Texweld on large split textures against two references:
#   - cat of the same chunk files into one file: the floor for moving the
#     bytes through the page cache (GNU cat copies file to file inside the
#     kernel with copy_file_range, without a pass through user memory);
#   - a naive in-memory concatenation in Python (read every file, join,
#     write): what a careless tool would cost.
# It also times a small texture against bare process start-up.
#
# Usage: bench/run_bench.sh [options] [BUILD_DIR]
#   BUILD_DIR          where to build Texweld in Release (default:
#                      build-bench/release under the repository)
#   --rounds N         timed rounds per large case (default 7)
#   --baseline PATH    also time another texweld binary, alternating with
#                      this one (for before/after comparisons)
#   --quick            only the 4096x4096 case and the start-up check
#   --few-levels       only the 16384x16384 cases of 1, 3 and 4 levels, whose
#                      first chunk is most of the texture (1 GiB and more)
#   --idle SECONDS     pause this long before every timed run of the large
#                      cases (after-idle figures; default 0, back to back)
#
# Every large run is verified once with cmp against the joined texture the
# generator writes. Timed runs alternate between the contenders (their order
# rotates each round), every output file is deleted before and after each run
# outside the timed region, every run starts with nothing left to write back
# (sync, untimed), and the inputs are warm in the page cache.
# Reported: median wall time and CPU time (user + system; steadier than wall
# time on a busy machine), their ratios to the references (also the median
# of each round's ratio), and peak memory (maximum resident set size from
# /usr/bin/time -v) over the output's size.
# Fresh memory is dearer on some virtual machines once it has sat unused for
# a while, so a single run on an idle machine can take longer than these
# back-to-back runs.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir=""
rounds=7
baseline=""
quick=0
few=0
idle=0

usage() {
    sed -n '10,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case "$1" in
    --rounds) rounds="${2:?--rounds needs a number}"; shift 2 ;;
    --baseline) baseline="${2:?--baseline needs a path}"; shift 2 ;;
    --quick) quick=1; shift ;;
    --few-levels) few=1; shift ;;
    --idle) idle="${2:?--idle needs a number of seconds}"; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "run_bench.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    *) build_dir="$1"; shift ;;
    esac
done
build_dir="${build_dir:-$repo/build-bench/release}"
case "$rounds" in
'' | *[!0-9]* | 0) echo "run_bench.sh: --rounds needs a positive number" >&2; exit 2 ;;
esac

# --- tools -----------------------------------------------------------------
missing=0
need() {  # need COMMAND DEBIAN_PACKAGE
    if ! command -v "$1" >/dev/null 2>&1; then
        echo "run_bench.sh: '$1' not found; install it with: apt-get install $2" >&2
        missing=1
    fi
}
if [ ! -x /usr/bin/time ]; then
    echo "run_bench.sh: /usr/bin/time not found; install it with: apt-get install time" >&2
    missing=1
fi
need hyperfine hyperfine
need python3 python3
need cmake cmake
need cmp diffutils
need c++ g++
[ "$missing" -eq 0 ] || exit 1
if [ -n "$baseline" ] && [ ! -x "$baseline" ]; then
    echo "run_bench.sh: baseline $baseline is not an executable" >&2
    exit 1
fi

# --- build -----------------------------------------------------------------
generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DTEXWELD_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build_dir" --parallel 2 --target texweld texsplit make_split_texture >/dev/null
texweld="$build_dir/texweld"
texsplit="$build_dir/texsplit"
make_split="$build_dir/make_split_texture"

# --- scratch data ----------------------------------------------------------
scratch="$(mktemp -d "${TMPDIR:-/tmp}/texweld-bench.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT INT TERM
case "$scratch$texweld$baseline" in
*[[:space:]]*)  # hyperfine -N splits its commands at white space
    echo "run_bench.sh: the scratch folder and the binaries need paths without spaces" >&2
    exit 1
    ;;
esac
# The largest case needs its chunks, the joined copy and one output at a time.
free_kb="$(df -Pk "$scratch" | awk 'NR == 2 { print $4 }')"
if [ "$quick" -eq 0 ] && [ "${free_kb:-0}" -lt 1200000 ]; then
    echo "run_bench.sh: need about 1.2 GB free under $scratch" >&2
    exit 1
fi

echo "Texweld benchmark: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
    "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory"
echo "binary: $texweld${baseline:+ (baseline: $baseline)}"
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo

# --- measuring -------------------------------------------------------------
# The driver: alternates the contenders, times each run with a monotonic
# clock and takes its peak memory from /usr/bin/time -v.
cat >"$scratch/measure.py" <<'PY'
import glob, os, shutil, statistics, subprocess, sys, time

def run_once(cmd, stdout_path, time_log):
    """Runs cmd under /usr/bin/time -v; returns (wall s, CPU s, max RSS bytes)."""
    out = open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL
    try:
        start = time.perf_counter()
        child = subprocess.Popen(["/usr/bin/time", "-v", "-o", time_log] + cmd, stdout=out)
        # wait4 reports the CPU time of the command too (time waited for it),
        # in microseconds where time -v rounds to 10 ms.
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
    finally:
        if stdout_path:
            out.close()
    if child.returncode != 0:
        sys.exit("measure: %s exited with %d" % (cmd[0], child.returncode))
    with open(time_log) as log:
        for line in log:
            if "Maximum resident set size" in line:
                rss_kb = int(line.rsplit(":", 1)[1])
    return wall, usage.ru_utime + usage.ru_stime, rss_kb * 1024

def main():
    title, out_size, rounds, scratch = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
    idle = float(os.environ.get("BENCH_IDLE", "0"))
    # Contenders: NAME OUTPUT STDOUT(0/1) -- CMD... ;; NAME ...
    contenders, lineup = [], sys.argv[5:]
    while lineup:
        end = lineup.index(";;") if ";;" in lineup else len(lineup)
        name, output, to_stdout = lineup[0], lineup[1], lineup[2] == "1"
        contenders.append((name, output, to_stdout, lineup[4:end]))
        lineup = lineup[end + 1:]
    walls = {c[0]: [] for c in contenders}
    cpus = {c[0]: [] for c in contenders}
    rss = {c[0]: [] for c in contenders}
    time_log = os.path.join(scratch, "time.log")
    for r in range(rounds + 1):  # round 0 warms up and is not counted
        k = r % len(contenders)
        for name, output, to_stdout, cmd in contenders[k:] + contenders[:k]:
            # An output is every file whose name starts with OUTPUT: one file,
            # or a set of chunks, whose sizes add up to the whole texture's.
            for path in glob.glob(glob.escape(output) + "*"):
                os.remove(path)
            # Over an existing output: the files of BENCH_PREVIOUS whose
            # names start with the output's go there first, on the disk
            # before the run so that their flush is not the run's.
            previous = os.environ.get("BENCH_PREVIOUS")
            if previous:
                prefix = os.path.basename(output)
                for entry in os.listdir(previous):
                    if entry.startswith(prefix):
                        shutil.copyfile(os.path.join(previous, entry), os.path.join(os.path.dirname(output), entry))
            # Every run starts with nothing waiting to be written back, so
            # that no run pays for the writeback of an earlier one's output.
            os.sync()
            if idle > 0:
                time.sleep(idle)
            wall, cpu, peak = run_once(cmd, output if to_stdout else None, time_log)
            written = sum(os.path.getsize(path) for path in glob.glob(glob.escape(output) + "*"))
            if written != out_size:
                sys.exit("measure: %s wrote %d bytes, not %d" % (name, written, out_size))
            for path in glob.glob(glob.escape(output) + "*"):
                os.remove(path)
            if r > 0:
                walls[name].append(wall)
                cpus[name].append(cpu)
                rss[name].append(peak)
    print("%s: output %s bytes, %d rounds%s" % (title, format(out_size, ","), rounds,
                                                ", %g s pause before each run" % idle if idle > 0 else ""))
    print("  %-20s %12s %10s %12s %11s %13s" % ("", "median wall", "fastest", "median CPU", "max RSS",
                                                 "RSS / output"))
    medians, cpu_medians = {}, {}
    for name, *_ in contenders:
        medians[name] = statistics.median(walls[name])
        cpu_medians[name] = statistics.median(cpus[name])
        peak = max(rss[name])
        print("  %-20s %10.3f s %8.3f s %10.3f s %8.1f MB %12.2fx"
              % (name, medians[name], min(walls[name]), cpu_medians[name], peak / 1e6, peak / out_size))
    names = [c[0] for c in contenders]
    for name in names:
        if not name.startswith("tex"):
            continue
        for other in names:
            if not other.startswith("tex"):
                # Each round's two runs are neighbours in time: the median of
                # their ratios cancels the slow swings of a shared machine.
                paired = statistics.median(a / b for a, b in zip(walls[name], walls[other]))
                print("  %s / %s: %.2fx wall, %.2fx CPU, %.2fx wall round by round"
                      % (name, other, medians[name] / medians[other], cpu_medians[name] / cpu_medians[other], paired))
    print()

main()
PY

# measure_case TITLE FORMAT WIDTH HEIGHT LEVELS SPLIT REPLACING
#   SPLIT 1: time texsplit too; REPLACING 1 (the default): and both over an
#   existing output or set, against dd
measure_case() {
    local title="$1" format="$2" width="$3" height="$4" levels="$5" split="${6:-0}" replacing="${7:-1}"
    local base="$scratch/tex.dds"
    "$make_split" "$format" "$width" "$height" "$levels" "$base" "$scratch/joined.dds"
    local out_size
    out_size="$(stat -c %s "$scratch/joined.dds")"

    # Chunk files in level order: the largest level first, the first chunk last.
    local chunks=() n=$((levels - 3))
    [ "$n" -gt 0 ] || n=0
    for ((k = n; k >= 1; k--)); do chunks+=("$base.$k"); done
    chunks+=("$base.0")

    # Verify before timing: Texweld must reproduce the joined texture.
    local line
    line="$("$texweld" "$base.0" "$scratch/check.dds")"
    if [ "$line" != "Successfully unsplit $base." ] || ! cmp -s "$scratch/check.dds" "$scratch/joined.dds"; then
        echo "run_bench.sh: $title: texweld's output differs from the joined texture ($line)" >&2
        exit 1
    fi
    if [ -n "$baseline" ]; then
        "$baseline" "$base.0" "$scratch/check.dds" >/dev/null
        cmp -s "$scratch/check.dds" "$scratch/joined.dds" ||
            { echo "run_bench.sh: $title: the baseline's output differs" >&2; exit 1; }
    fi
    rm -f "$scratch/check.dds" "$scratch/joined.dds"

    local naive='import sys
out, files = sys.argv[1], sys.argv[2:]
data = b"".join(open(f, "rb").read() for f in files)
open(out, "wb").write(data)'
    local lineup=(
        "texweld" "$scratch/out-texweld.dds" 0 -- "$texweld" "$base.0" "$scratch/out-texweld.dds" ";;"
    )
    if [ -n "$baseline" ]; then
        lineup+=("texweld (baseline)" "$scratch/out-baseline.dds" 0 -- "$baseline" "$base.0" "$scratch/out-baseline.dds" ";;")
    fi
    lineup+=("cat (floor)" "$scratch/out-cat.dds" 1 -- cat "${chunks[@]}")
    # The naive join holds the whole texture; beside gigabyte textures it
    # only disturbs the page cache of the others.
    if [ "$replacing" -eq 1 ]; then
        lineup+=(";;" "python naive" "$scratch/out-python.dds" 0 -- python3 -c "$naive" "$scratch/out-python.dds" "${chunks[@]}")
    fi
    BENCH_IDLE="$idle" python3 "$scratch/measure.py" "$title" "$out_size" "$rounds" "$scratch" "${lineup[@]}"

    # texsplit of the whole texture into a fresh set, against cat of the
    # whole file into one file.
    if [ "$split" -eq 1 ]; then
        "$texweld" "$base.0" "$scratch/whole.dds" >/dev/null
        lineup=(
            "texsplit" "$scratch/out-split.dds" 0 -- "$texsplit" "$scratch/whole.dds" "$scratch/out-split.dds" ";;"
            "cat (floor)" "$scratch/out-cat.dds" 1 -- cat "$scratch/whole.dds"
        )
        BENCH_IDLE="$idle" python3 "$scratch/measure.py" "texsplit, $title" "$out_size" "$rounds" "$scratch" \
            "${lineup[@]}"

        if [ "$replacing" -eq 1 ]; then
        # Both programs over an existing output or set of the same size,
        # which they flush before it takes the old one's place, against dd
        # writing the same bytes over an existing file and flushing them.
        mkdir "$scratch/previous"
        cp "$scratch/whole.dds" "$scratch/previous/out-texweld.dds"
        cp "$scratch/whole.dds" "$scratch/previous/out-dd.dds"
        for chunk in "$base".*; do cp "$chunk" "$scratch/previous/out-split.dds${chunk#"$base"}"; done
        lineup=(
            "texweld, replacing" "$scratch/out-texweld.dds" 0 -- "$texweld" "$base.0" "$scratch/out-texweld.dds" ";;"
            "texsplit, replacing" "$scratch/out-split.dds" 0 -- "$texsplit" "$scratch/whole.dds" "$scratch/out-split.dds" ";;"
            "dd fdatasync" "$scratch/out-dd.dds" 0 -- dd "if=$scratch/whole.dds" "of=$scratch/out-dd.dds" bs=1M \
                conv=fdatasync status=none
        )
        BENCH_IDLE="$idle" BENCH_PREVIOUS="$scratch/previous" python3 "$scratch/measure.py" \
            "over an existing output, $title" "$out_size" "$rounds" "$scratch" "${lineup[@]}"
        fi
        rm -rf "$scratch/whole.dds" "$scratch/previous"
    fi
    rm -f "$base".*
}

if [ "$few" -eq 1 ]; then
    # Textures whose first chunk is most of them: all of it with one level
    # or three, a quarter with four.
    for levels in 1 3 4; do
        measure_case "16384x16384 argb32, $levels level(s)" argb32 16384 16384 "$levels" 1 0
    done
    exit 0
fi
if [ "$quick" -eq 0 ]; then
    measure_case "8192x8192 argb32, 14 levels" argb32 8192 8192 14 1
fi
measure_case "4096x4096 dxt5, 13 levels" dxt5 4096 4096 13

# --- start-up --------------------------------------------------------------
# A 256x256 texture costs little beyond starting the process: compare it with
# Texweld given no arguments (start, one line, exit) and with true. The output
# is deleted before each run, as above; replacing an existing output is timed
# too, since the file system's cost of freeing the old file's blocks shows
# there (with online discard it waits for the device).
"$make_split" dxt1 256 256 9 "$scratch/small.dds"
small_out="$scratch/small-out.dds"
names=("texweld 256x256")
runs=("$texweld $scratch/small.dds.0 $small_out")
if [ -n "$baseline" ]; then
    names+=("baseline 256x256")
    runs+=("$baseline $scratch/small.dds.0 $small_out")
fi
names+=("texweld, no arguments" "true")
runs+=("$texweld" "$(type -P true)")
forward=() reversed=()
for i in "${!names[@]}"; do
    forward+=(--command-name "${names[i]}" "${runs[i]}")
    reversed=(--command-name "${names[i]}" "${runs[i]}" "${reversed[@]}")
done
# Several short batches, the order reversed every other one, so that a change
# of load on a shared machine hits every command alike.
for batch in 1 2 3 4 5 6; do
    if [ $((batch % 2)) -eq 1 ]; then order=("${forward[@]}"); else order=("${reversed[@]}"); fi
    hyperfine -N --warmup 5 --runs 50 --style none --prepare "rm -f $small_out" \
        --export-json "$scratch/startup-$batch.json" "${order[@]}" >"$scratch/hyperfine.log" 2>&1 &&
        hyperfine -N --warmup 5 --runs 50 --style none \
            --export-json "$scratch/replace-$batch.json" \
            --command-name "texweld 256x256, replacing its output" "$texweld $scratch/small.dds.0 $small_out" \
            >>"$scratch/hyperfine.log" 2>&1 ||
        { cat "$scratch/hyperfine.log" >&2; echo "run_bench.sh: hyperfine failed" >&2; exit 1; }
done
python3 - "$scratch" <<'PY'
import glob, json, os, statistics, sys
times = {}
for path in sorted(glob.glob(os.path.join(sys.argv[1], "*-[0-9].json"))):
    for result in json.load(open(path))["results"]:
        times.setdefault(result["command"], []).extend(result["times"])
print("Start-up: 256x256 dxt1, 9 levels (43,832-byte output)")
# The texture runs first, then the two start-up references.
names = sorted(times, key=lambda n: (n in ("texweld, no arguments", "true"), "replacing" in n, n))
medians = {name: statistics.median(times[name]) for name in names}
for name, median in medians.items():
    print("  %-40s median %7.3f ms  (%d runs)" % (name, median * 1e3, len(times[name])))
for name, median in medians.items():
    if "256x256" in name:
        print("  %s: %+.3f ms beyond texweld with no arguments, %+.3f ms beyond true"
              % (name, (median - medians["texweld, no arguments"]) * 1e3, (median - medians["true"]) * 1e3))
PY
