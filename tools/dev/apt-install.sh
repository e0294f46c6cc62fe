#!/usr/bin/env bash
# Install extra Debian packages into the environment ./dev runs in: the
# toolchain root file system, or the host when it provides python3.14 itself.
# Already installed packages cost nothing, so scripts call this on every run:
#
#   tools/dev/apt-install.sh PKG...        # from inside ./dev (fuzz, run, shell)
#   ./dev apt-install PKG...               # from outside
#   tools/dev/apt-install.sh --clang       # clang plus its matching sanitizer
#                                          # and libFuzzer runtimes
#
# With --clang, the clang++ path is printed on stdout; messages go to stderr.
set -euo pipefail

log() { printf '[apt-install] %s\n' "$*" >&2; }

want_clang=0
pkgs=()
for a in "$@"; do
    case $a in
        --clang) want_clang=1 ;;
        -*) log "unknown option $a"; exit 2 ;;
        *) pkgs+=("$a") ;;
    esac
done
[[ $want_clang == 1 ]] && pkgs+=(clang)
if [[ ${#pkgs[@]} -eq 0 ]]; then
    log "usage: $0 [--clang] PKG..."
    exit 2
fi

installed() {
    [[ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" == installed ]]
}

updated=0
install_missing() {
    local -a missing=()
    local p
    for p in "$@"; do
        installed "$p" || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    [[ $(id -u) -eq 0 ]] || { log "need root to install: ${missing[*]}"; exit 1; }
    if [[ $updated == 0 ]]; then
        log "apt-get update"
        apt-get update -q >&2
        updated=1
    fi
    log "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

install_missing "${pkgs[@]}"

if [[ $want_clang == 1 ]]; then
    # The `clang` package points at one LLVM release; its runtimes (ASan,
    # UBSan, libFuzzer) ship separately under that release's number.
    clang_real=$(readlink -f "$(command -v clang)")
    if [[ $clang_real =~ /llvm-([0-9]+)/ ]]; then
        major=${BASH_REMATCH[1]}
    else
        major=$(clang -dumpversion | cut -d. -f1)
    fi
    install_missing "libclang-rt-$major-dev"
    command -v clang++
fi
