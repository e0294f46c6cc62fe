# Sourced by ./dev. Provides CPython 3.14 and a C++20 compiler on machines
# that lack them, as a Debian testing root file system under .toolchain/, and
# runs commands inside it with the project mounted at its own absolute path
# (so build directories, caches and error messages show the same paths inside
# and outside).

# Bump the version when the package list or layout changes: every checkout
# with an older root file system then rebuilds it on its next run.
VORN_TC_SUITE=forky
VORN_TC_PACKAGES=python3.14,python3.14-dev,python3.14-venv,g++,make,cmake,ca-certificates
VORN_TC_RECIPE="v1 $VORN_TC_SUITE minbase $VORN_TC_PACKAGES"
VORN_TC_BASE=${VORN_TOOLCHAIN_DIR:-$VORN_ROOT/.toolchain}
VORN_TC_DIR=$VORN_TC_BASE/$VORN_TC_SUITE

tc_ready() {
    [[ -f $VORN_TC_DIR/.vorn-recipe && "$(<"$VORN_TC_DIR/.vorn-recipe")" == "$VORN_TC_RECIPE" ]]
}

# The Debian mirror this machine already uses, so the bootstrap goes wherever
# the host's apt goes (a snapshot, a local mirror, a proxy). First a deb822
# stanza from sources.list.d, then a one-line entry; security suites are
# skipped since they carry no full archive. VORN_DEBIAN_MIRROR overrides.
tc_host_mirror() {
    if [[ -n ${VORN_DEBIAN_MIRROR:-} ]]; then
        printf '%s\n' "$VORN_DEBIAN_MIRROR"
        return
    fi
    local m="" f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -r $f ]] || continue
        m=$(awk '
            function flush() {
                if (uris != "" && types ~ /(^|[ \t])deb([ \t]|$)/ && suites !~ /-security/ && !done) {
                    split(uris, u, /[ \t]+/); print u[1]; done = 1
                }
                uris = ""; suites = ""; types = ""
            }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]*#/ { next }
            tolower($1) == "uris:"   { sub(/^[^:]*:[ \t]*/, ""); uris = $0 }
            tolower($1) == "suites:" { sub(/^[^:]*:[ \t]*/, ""); suites = $0 }
            tolower($1) == "types:"  { sub(/^[^:]*:[ \t]*/, ""); types = $0 }
            END { flush() }' "$f")
        [[ -n $m ]] && break
    done
    if [[ -z $m && -r /etc/apt/sources.list ]]; then
        m=$(awk '$1 == "deb" {
                    i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                    if ($(i + 1) !~ /-security/) { print $i; exit }
                }' /etc/apt/sources.list)
    fi
    [[ -n $m ]] || die "no Debian mirror found in the host's apt sources; set VORN_DEBIAN_MIRROR"
    printf '%s\n' "$m"
}

# rm -rf that refuses to descend into a live mount (an interrupted bootstrap
# outside a private mount namespace could have left /proc or /dev mounted).
tc_safe_rm() {
    local p
    p=$(realpath -m "$1")
    [[ -e $p ]] || return 0
    if awk -v p="$p" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        die "$p still has mounts under it; unmount them (umount -R $p) and retry"
    fi
    rm -rf --one-file-system "$p"
}

tc_ensure() {
    tc_ready && return 0
    [[ $(id -u) -eq 0 ]] || die "building the toolchain needs root (debootstrap, chroot); rerun as root or install python3.14, its headers, g++ and cmake"
    mkdir -p "$VORN_TC_BASE"
    local lockfd
    exec {lockfd}>"$VORN_TC_BASE/.lock"
    flock "$lockfd"
    if tc_ready; then
        exec {lockfd}>&-
        return 0
    fi
    local t0=$SECONDS
    log "bootstrapping Debian $VORN_TC_SUITE with CPython 3.14 and g++ into ${VORN_TC_DIR#"$VORN_ROOT"/} (once; about a minute)"
    if ! command -v debootstrap >/dev/null; then
        log "installing debootstrap on the host"
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
    fi
    # Older debootstrap releases lack a script for the newest testing suite;
    # testing is built exactly like sid.
    local script=/usr/share/debootstrap/scripts/$VORN_TC_SUITE
    [[ -e $script ]] || script=/usr/share/debootstrap/scripts/sid
    local mirror
    mirror=$(tc_host_mirror)
    # Build next to the final place and rename when complete, so an
    # interrupted bootstrap leaves only a .tmp that the next run discards.
    local tmp=$VORN_TC_DIR.tmp
    tc_safe_rm "$tmp"
    # debootstrap mounts /proc and friends inside the target; a private mount
    # namespace makes sure none of them outlive it, even on failure.
    unshare -m --propagation private \
        debootstrap --variant=minbase --include="$VORN_TC_PACKAGES" \
        "$VORN_TC_SUITE" "$tmp" "$mirror" "$script" \
        || die "debootstrap failed; the log is $tmp/debootstrap/debootstrap.log"
    printf '%s\n' "$VORN_TC_RECIPE" >"$tmp/.vorn-recipe"
    if [[ -e $VORN_TC_DIR ]]; then
        log "replacing the root file system built from an older recipe"
        tc_safe_rm "$VORN_TC_DIR"
    fi
    mv "$tmp" "$VORN_TC_DIR"
    exec {lockfd}>&-
    log "toolchain ready in $((SECONDS - t0)) s ($(du -sh "$VORN_TC_DIR" | cut -f1))"
}

# apt inside must reach the mirror the way the host's apt does: a snapshot
# mirror has long-expired Release files that the host is configured to
# accept, and a proxy may be needed. Those settings are copied at each entry.
tc_sync_apt_conf() {
    local conf=$1/etc/apt/apt.conf.d/50vorn-host
    command -v apt-config >/dev/null || return 0
    apt-config dump 2>/dev/null \
        | grep -E '^Acquire::(Check-Valid-Until|https?::Proxy|ftp::Proxy) ' >"$conf.new" || true
    if [[ -s $conf.new ]]; then mv "$conf.new" "$conf"; else rm -f "$conf.new" "$conf"; fi
}

# Directories of the root file system's own, never covered by the host's.
tc_system_path() {
    case $1 in
        / | /bin | /bin/* | /boot | /boot/* | /dev | /dev/* | /etc | /etc/* | /lib | /lib/* | /lib32 | /lib32/* \
            | /lib64 | /lib64/* | /opt | /opt/* | /proc | /proc/* | /run | /run/* | /sbin | /sbin/* | /sys | /sys/* \
            | /usr | /usr/* | /var | /var/*) return 0 ;;
    esac
    return 1
}

# For `./dev run` and `./dev shell`: the host's /tmp, and the caller's
# directory (VORN_CALLER_CWD), at the same paths inside, so that
# `./dev run -- python /tmp/app.py` and `--ca-file ca.pem` mean what they
# mean outside. Leaves VORN_CALLER_CWD set only when the directory is shared.
tc_share_host_paths() {
    local d=$1 cwd=${VORN_CALLER_CWD:-}
    unset VORN_CALLER_CWD
    mount --rbind /tmp "$d/tmp"
    [[ -n $cwd && -d $cwd ]] || return 0
    case $cwd in
        "$VORN_ROOT" | "$VORN_ROOT"/* | /tmp | /tmp/*) ;;
        *)
            if tc_system_path "$cwd"; then
                log "note: $cwd is not shared with the environment, which has its own; running from the project root"
                return 0
            fi
            mkdir -p "$d$cwd"
            mount --rbind "$cwd" "$d$cwd"
            ;;
    esac
    export VORN_CALLER_CWD=$cwd
}

# Runs in a fresh private mount namespace (see the caller in ./dev), so every
# mount below vanishes with the last process using it.
tc_enter() {
    local d=$VORN_TC_DIR
    # First, so that a caller's directory above the project (which holds the
    # root file system) is shared before anything is mounted inside it.
    case ${1:-} in
        run | shell) tc_share_host_paths "$d" ;;
        *) unset VORN_CALLER_CWD ;;
    esac
    mount --rbind /dev "$d/dev"
    mount -t proc proc "$d/proc"
    mount --rbind /sys "$d/sys" 2>/dev/null || true
    mkdir -p "$d$VORN_ROOT"
    mount --bind "$VORN_ROOT" "$d$VORN_ROOT"
    # HTTPS from pip goes through whatever the host trusts (possibly an
    # intercepting proxy whose CA only the host bundle has).
    local ca=/etc/ssl/certs/ca-certificates.crt
    if [[ -f $ca && -f $d$ca ]]; then
        mount --bind "$ca" "$d$ca"
    fi
    cp -L --remove-destination /etc/resolv.conf "$d/etc/resolv.conf" 2>/dev/null || true
    tc_sync_apt_conf "$d"
    # Host-only settings are dropped: pyenv shims, local wheel folders and
    # interpreter overrides mean nothing inside.
    exec chroot "$d" /usr/bin/env \
        -u PIP_FIND_LINKS -u PYTHONPATH -u PYTHONHOME -u VIRTUAL_ENV -u LD_PRELOAD \
        -u PYENV_VERSION -u PYENV_ROOT -u CONDA_PREFIX \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG="${LANG:-C.UTF-8}" VORN_ENV=toolchain \
        /bin/bash -c 'cd "$1" && shift && exec /bin/bash ./dev "$@"' vorn-enter "$VORN_ROOT" "$@"
}
