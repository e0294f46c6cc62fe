#!/usr/bin/env bash
# Build and run the decoder's libFuzzer targets (frame, dict, columns).
#
#   tools/fuzz.sh [SECONDS]     default 60 seconds per target
#
# Runs inside the CPython 3.14 environment (./dev fuzz enters it).  Installs
# clang and its runtimes with apt-get when they are missing.  Each target
# starts from its checked-in seeds (fuzz/corpus/<target>) plus what earlier
# runs found (fuzz/corpus-work/<target>); crashes land in fuzz/out/artifacts.
# Exits non-zero when any target reported a finding.
set -euo pipefail

secs=${1:-60}
[[ $secs =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

ensure_clang() {
    local probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
    if command -v clang++ >/dev/null && echo "$probe" |
        clang++ -x c++ -fsanitize=fuzzer,address,undefined -o /dev/null - 2>/dev/null; then
        return
    fi
    echo "[fuzz] installing clang and its sanitizer runtimes" >&2
    if [[ -x tools/dev/apt-install.sh ]]; then
        tools/dev/apt-install.sh --clang >/dev/null
    else
        apt-get update -q >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends clang >&2
        local major
        major=$(clang -dumpversion | cut -d. -f1)
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
            "libclang-rt-$major-dev" >&2
    fi
}
ensure_clang

pycfg=$(command -v python3.14-config || command -v python3-config || true)
[[ -n $pycfg ]] || { echo "[fuzz] no python3-config: run inside the toolchain (./dev fuzz)" >&2; exit 1; }

out=fuzz/out
mkdir -p "$out/artifacts"
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc)
# shellcheck disable=SC2046
clang++ "${flags[@]}" fuzz/fuzz_frame.cpp -o "$out/fuzz_frame"
# shellcheck disable=SC2046
clang++ "${flags[@]}" $("$pycfg" --includes) fuzz/fuzz_to_dict.cpp -o "$out/fuzz_to_dict" \
    $("$pycfg" --ldflags --embed)
# shellcheck disable=SC2046
clang++ "${flags[@]}" $("$pycfg" --includes) fuzz/fuzz_columns.cpp -o "$out/fuzz_columns" \
    $("$pycfg" --ldflags --embed)

total_findings=0
for target in fuzz_frame fuzz_to_dict fuzz_columns; do
    work=fuzz/corpus-work/$target
    mkdir -p "$work"
    log=$out/$target.log
    extra=()
    [[ $target == fuzz_frame ]] && extra+=(-dict=fuzz/frame.dict)
    before=$(find "$out/artifacts" -type f -name "*-$target-*" 2>/dev/null | wc -l)
    echo "[fuzz] $target for ${secs}s"
    set +e
    ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
        "$out/$target" "$work" "fuzz/corpus/$target" "${extra[@]}" \
        -max_total_time="$secs" -print_final_stats=1 -timeout=10 -rss_limit_mb=4096 \
        -artifact_prefix="$out/artifacts/$target-" >"$log" 2>&1
    status=$?
    set -e
    # libFuzzer names artifacts <prefix><kind>-<hash>; count the new ones.
    after=$(find "$out/artifacts" -type f -name "$target-*" | wc -l)
    found=$((after - before))
    [[ $status -ne 0 && $found -eq 0 ]] && found=1
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -ao 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    echo "[fuzz] $target: executions=${execs:-?} coverage=${cov:-?} findings=$found (log: $log)"
    if [[ $found -ne 0 ]]; then
        grep -aE 'ERROR|runtime error|fuzz_frame:|fuzz_to_dict:|fuzz_columns:|Test unit written' "$log" | head -20 || true
    fi
    total_findings=$((total_findings + found))
done
echo "[fuzz] total findings: $total_findings"
[[ $total_findings -eq 0 ]]
