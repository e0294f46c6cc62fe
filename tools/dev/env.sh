# Sourced by ./dev once it runs where python3.14 exists (the host, or inside
# the toolchain root file system). Owns the virtualenv, the pinned Python
# dependencies and the builds of the extension.

if [[ ${VORN_ENV:-} == toolchain ]]; then
    VORN_VENV=/opt/venv          # lives inside the root file system it runs on
else
    VORN_VENV=$VORN_ROOT/.venv
fi
VORN_STATE=$VORN_ROOT/build/.vorn   # stamps, wheels and the staged sanitizer build
VORN_ASAN_SITE=$VORN_STATE/asan-site
export CXX=${VORN_CXX:-g++}         # the sanitizer runtime preloaded for tests must match it

env_activate() {
    export VIRTUAL_ENV=$VORN_VENV
    export PATH=$VORN_VENV/bin:$PATH
    unset PYTHONHOME
}

# Serialises setup and builds between concurrent ./dev runs in one checkout.
env_lock() {
    mkdir -p "$VORN_STATE"
    exec {VORN_LOCKFD}>"$VORN_STATE/lock"
    flock "$VORN_LOCKFD"
}

env_unlock() {
    [[ -n ${VORN_LOCKFD:-} ]] && exec {VORN_LOCKFD}>&-
    VORN_LOCKFD=
}

hash_stdin() { sha256sum | cut -d' ' -f1; }

env_ensure() {
    env_lock
    if [[ ! -x $VORN_VENV/bin/python ]]; then
        log "creating the virtualenv ${VORN_VENV}"
        python3.14 -m venv "$VORN_VENV"
        rm -f "$VORN_VENV/.vorn-deps"
    fi
    env_activate
    local want have=""
    want=$({ python -VV; cat "$VORN_ROOT"/requirements/*.txt; } | hash_stdin)
    [[ -f $VORN_VENV/.vorn-deps ]] && have=$(<"$VORN_VENV/.vorn-deps")
    if [[ $want != "$have" ]]; then
        local t0=$SECONDS
        log "installing the pinned Python dependencies (requirements/)"
        python -m pip install -q -r "$VORN_ROOT/requirements/dev.txt"
        # The files pin every transitive dependency; a missing pin shows up
        # here instead of as a silently floating version.
        python -m pip check >&2
        printf '%s\n' "$want" >"$VORN_VENV/.vorn-deps"
        log "dependencies ready in $((SECONDS - t0)) s"
    fi
    env_unlock
}

# Everything that goes into the built package, plus the tools that build it.
build_fingerprint() {
    local flavour=$1
    (
        cd "$VORN_ROOT"
        printf '%s\n' "$flavour" "$VORN_VENV" "$(python -VV)" \
            "$("$CXX" --version | head -n1)" "$(cmake --version | head -n1)"
        find src vornticker CMakeLists.txt pyproject.toml tools/dev/build_wheel.py \
            -type f ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 2>/dev/null \
            | LC_ALL=C sort -z | xargs -0 -r sha256sum
    ) | hash_stdin
}

# Normal build. scikit-build-core keeps its CMake tree in build/<wheel tag>
# (pyproject.toml), so a rebuild only recompiles what changed. The wheel is
# installed into the venv, and its .so files are also copied into the source
# package ./vornticker/: Python run from the project root (pytest, python -m,
# python -c) finds that directory before site-packages, and it must not hold a
# stale or missing extension. *.so is git-ignored.
build_normal() {
    env_lock
    local fp stamp=$VORN_STATE/normal.stamp
    fp=$(build_fingerprint normal)
    if [[ -f $stamp && "$(<"$stamp")" == "$fp" ]] && compgen -G "$VORN_ROOT/vornticker/*.so" >/dev/null; then
        log "extension up to date"
        env_unlock
        return 0
    fi
    local t0=$SECONDS
    rm -f "$stamp"
    log "building the extension (warnings are errors)"
    local wheel
    wheel=$(cd "$VORN_ROOT" && python tools/dev/build_wheel.py --flavour normal --out "$VORN_STATE/dist-normal") \
        || { env_unlock; return 1; }
    python -m pip install -q --no-deps --no-index --force-reinstall "$wheel" || { env_unlock; return 1; }
    rm -f "$VORN_ROOT"/vornticker/*.so
    python -m zipfile -e "$wheel" "$VORN_STATE/unpack-normal" >/dev/null
    cp "$VORN_STATE"/unpack-normal/vornticker/*.so "$VORN_ROOT/vornticker/"
    rm -rf "$VORN_STATE/unpack-normal"
    printf '%s\n' "$fp" >"$stamp"
    log "extension built and installed in $((SECONDS - t0)) s"
    env_unlock
}

# ASan+UBSan build, kept apart from the normal one (own CMake tree) and staged
# as a complete package under build/.vorn/asan-site; tests then import it from
# there, so neither build ever overwrites the other.
build_asan() {
    env_lock
    local fp stamp=$VORN_STATE/asan.stamp
    fp=$(build_fingerprint asan)
    if [[ -f $stamp && "$(<"$stamp")" == "$fp" ]] && compgen -G "$VORN_ASAN_SITE/vornticker/*.so" >/dev/null; then
        log "sanitizer build up to date"
        env_unlock
        return 0
    fi
    local t0=$SECONDS
    rm -f "$stamp"
    log "building the extension with ASan+UBSan (warnings are errors)"
    local wheel
    wheel=$(cd "$VORN_ROOT" && python tools/dev/build_wheel.py --flavour asan --out "$VORN_STATE/dist-asan") \
        || { env_unlock; return 1; }
    rm -rf "$VORN_ASAN_SITE"
    python -m zipfile -e "$wheel" "$VORN_ASAN_SITE" >/dev/null
    printf '%s\n' "$fp" >"$stamp"
    log "sanitizer build ready in $((SECONDS - t0)) s"
    env_unlock
}

# C++ unit tests, in their own CMake tree since they need VORN_CPP_TESTS,
# which the wheel build never sets. Debug keeps assertions on.
run_cpp_tests() {
    local asan=$1
    [[ -f $VORN_ROOT/tests/cpp/CMakeLists.txt ]] || return 0
    local bdir=$VORN_ROOT/build/cpp-tests
    local -a defs=(-DCMAKE_BUILD_TYPE=Debug -DVORN_CPP_TESTS=ON -DVORN_WERROR=ON
                   "-DPython_EXECUTABLE=$VORN_VENV/bin/python")
    if [[ $asan == 1 ]]; then
        bdir+=-asan
        defs+=(-DVORN_SANITIZE=ON)
    fi
    log "building the C++ unit tests in ${bdir#"$VORN_ROOT"/}"
    env_lock
    if ! cmake -S "$VORN_ROOT" -B "$bdir" -G "Unix Makefiles" "${defs[@]}" >"$bdir.configure.log" 2>&1; then
        cat "$bdir.configure.log" >&2
        env_unlock
        return 1
    fi
    if ! cmake --build "$bdir" -j "$(nproc)"; then
        env_unlock
        return 1
    fi
    env_unlock
    # Tests registered only below tests/cpp (enable_testing() there but not at
    # the top) are invisible to ctest from the top of the tree.
    local tdir=$bdir
    [[ -f $bdir/CTestTestfile.cmake ]] || tdir=$bdir/tests/cpp
    log "running the C++ unit tests"
    ctest --test-dir "$tdir" --output-on-failure --no-tests=error -j "$(nproc)"
}

# pytest against one chosen build. The ASan runtime must be the first library
# loaded into the (uninstrumented) interpreter; the interpreter's own arenas
# and deliberate leaks would otherwise drown real reports. A sanitizer report
# ends the process, so pytest must not hold file descriptor 2 in a capture
# file then (--capture=sys; a later -s still wins).
run_pytest() {
    local asan=$1
    shift
    if [[ $asan == 1 ]]; then
        # libstdc++ is preloaded right after the ASan runtime: python does not
        # link it, so otherwise ASan finds no real __cxa_throw to forward to
        # when it starts, and the first C++ exception aborts the process.
        local lib rt=""
        for lib in libasan.so libstdc++.so; do
            local p
            p=$("$CXX" -print-file-name="$lib")
            [[ $p == /* && -e $p ]] || die "$lib not found ($CXX -print-file-name=$lib gave '$p')"
            rt+="${rt:+ }$(readlink -f "$p")"
        done
        log "running pytest on the sanitizer build (LD_PRELOAD=$rt)"
        ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
        UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
        PYTHONMALLOC=malloc LD_PRELOAD=$rt \
            python "$VORN_ROOT/tools/dev/run_pytest.py" --package-root "$VORN_ASAN_SITE" -- \
            --capture=sys "$@"
    else
        log "running pytest"
        python "$VORN_ROOT/tools/dev/run_pytest.py" --package-root "$VORN_ROOT" -- "$@"
    fi
}
