# Sourced by ./dev after tools/dev/env.sh: the distributable wheel (./dev
# wheel) and the test run against it (./dev test --wheel). See DEVELOPMENT.md.

VORN_DIST=$VORN_ROOT/dist
VORN_WHEEL_VENV=$VORN_STATE/wheel-venv   # new for every ./dev test --wheel
VORN_WHEEL_TEST=$VORN_STATE/wheel-test   # _testsupport build, pytest's cwd

# The wheel tools (zig, auditwheel) are kept out of dev.txt so that ./dev test
# does not download them; they are installed here on first use.
wheel_tools_ensure() {
    env_lock
    local want have="" mark=$VORN_VENV/.vorn-wheel-deps
    want=$({ python -VV; cat "$VORN_ROOT/requirements/wheel.txt"; } | hash_stdin)
    [[ -f $mark ]] && have=$(<"$mark")
    if [[ $want != "$have" ]]; then
        log "installing the wheel tools (requirements/wheel.txt)"
        python -m pip install -q -r "$VORN_ROOT/requirements/wheel.txt" || { env_unlock; return 1; }
        python -m pip check >&2 || { env_unlock; return 1; }
        printf '%s\n' "$want" >"$mark"
    fi
    env_unlock
}

dist_fingerprint() {
    (
        cd "$VORN_ROOT"
        printf '%s\n' "$(python -VV)" "$(python -m ziglang version)" "$(cmake --version | head -n1)"
        find src vornticker CMakeLists.txt pyproject.toml README.md LICENSE \
            tools/dev/build_wheel.py tools/dev/portable.py requirements/wheel.txt \
            -type f ! -name '*.so' ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 2>/dev/null \
            | LC_ALL=C sort -z | xargs -0 -r sha256sum
    ) | hash_stdin
}

dist_wheel() {
    compgen -G "$VORN_DIST/vornticker-*-manylinux*.whl" | head -n1
}

# The manylinux wheel and the sdist into dist/, rebuilt only when an input
# changed. Prints the wheel's path on stdout.
build_dist() {
    wheel_tools_ensure || return 1
    env_lock
    local fp stamp=$VORN_STATE/dist.stamp wheel
    fp=$(dist_fingerprint)
    wheel=$(dist_wheel || true)
    if [[ -f $stamp && "$(<"$stamp")" == "$fp" && -n $wheel ]]; then
        log "distributable wheel up to date: ${wheel#"$VORN_ROOT"/}"
        env_unlock
        printf '%s\n' "$wheel"
        return 0
    fi
    local t0=$SECONDS plat raw
    rm -f "$stamp"
    plat=$(cd "$VORN_ROOT/tools/dev" \
        && python -c 'import platform, portable; print(f"manylinux_{portable.GLIBC.replace(".", "_")}_{platform.machine()}")')
    log "building the distributable wheel with zig's clang for $plat (warnings are errors)"
    raw=$(cd "$VORN_ROOT" && python tools/dev/build_wheel.py --flavour dist --out "$VORN_STATE/dist-raw") \
        || { env_unlock; return 1; }
    mkdir -p "$VORN_DIST"
    rm -f "$VORN_DIST"/vornticker-*.whl "$VORN_DIST"/vornticker-*.tar.gz
    # An explicit policy: repair fails if the wheel needs anything newer.
    log "auditwheel repair --plat $plat"
    auditwheel repair --plat "$plat" -w "$VORN_DIST" "$raw" >&2 || { env_unlock; return 1; }
    wheel=$(dist_wheel) || { log "error: auditwheel left no manylinux wheel in dist/"; env_unlock; return 1; }
    log "building the sdist"
    (cd "$VORN_ROOT" && python -c 'import sys; from scikit_build_core.build import build_sdist; print(build_sdist(sys.argv[1]))' "$VORN_DIST") >&2 \
        || { env_unlock; return 1; }
    printf '%s\n' "$fp" >"$stamp"
    log "distributable wheel and sdist built in $((SECONDS - t0)) s"
    env_unlock
    printf '%s\n' "$wheel"
}

cmd_wheel() {
    local t0=$SECONDS wheel
    wheel=$(build_dist) || exit 1
    auditwheel show "$wheel"
    printf '\n%s\n' "dist/:"
    ls -l "$VORN_DIST"
    log "./dev wheel done in $((SECONDS - t0)) s"
}

# A brand-new virtual environment with only the wheel and what it declares
# (at the versions pinned in requirements/runtime.txt), an import of every
# module from outside the source tree, then the test requirements and the
# suite through tools/dev/test_wheel.py.
run_wheel_tests() {
    local wheel=$1
    shift
    local py=$VORN_WHEEL_VENV/bin/python
    log "new virtual environment ${VORN_WHEEL_VENV#"$VORN_ROOT"/} with ${wheel#"$VORN_ROOT"/}"
    rm -rf "$VORN_WHEEL_VENV" "$VORN_WHEEL_TEST"
    mkdir -p "$VORN_WHEEL_TEST"
    python3.14 -m venv "$VORN_WHEEL_VENV"
    "$py" -m pip install -q -c "$VORN_ROOT/requirements/runtime.txt" "$wheel" || return 1
    "$py" -m pip check >&2 || return 1
    log "importing every module of the installed package"
    (cd "$VORN_WHEEL_TEST" && "$py" -I - <<'EOF'
import importlib, pkgutil, vornticker
names = [m.name for m in pkgutil.iter_modules(vornticker.__path__, "vornticker.") if m.name != "vornticker.__main__"]
needs_extra = []
for name in names:
    try:
        importlib.import_module(name)
    except ImportError as e:
        # A module of an extra says which one to install; anything else is a fault of the wheel.
        if "vornticker[" not in str(e):
            raise
        needs_extra.append(f"{name} ({e})")
print(f"[dev] vornticker {vornticker.__version__} from {vornticker.__path__[0]}: imported {', '.join(names)}")
for line in needs_extra:
    print(f"[dev] without its extra: {line}")
EOF
    ) >&2 || return 1
    "$py" -m pip install -q -r "$VORN_ROOT/requirements/test.txt" || return 1
    local -a defs=()
    mapfile -t defs < <(python "$VORN_ROOT/tools/dev/portable.py" --state "$VORN_STATE")
    "$py" "$VORN_ROOT/tools/dev/test_wheel.py" --project "$VORN_ROOT" --wheel "$wheel" \
        --build "$VORN_WHEEL_TEST" "${defs[@]/#-D/--cmake-define=}" --cmake-define=VORN_WERROR=ON -- "$@"
}
