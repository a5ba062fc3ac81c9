#!/usr/bin/env bash
# tools/provision-python.sh -- provision the project's private toolchain.
#
# What it does (every step is idempotent and skipped when already done):
#   1. Installs the Debian build packages the project needs
#      (cmake ninja-build g++ libxxhash-dev libgtest-dev patchelf xz-utils, and
#      mosquitto and openssl, the broker the bus tests start and their certificates;
#      nats-server and libnats-dev, the cluster and the client library of the NATS transport).
#      apt-get is only touched when one of them is missing.
#   2. Fetches CPython 3.14 (64-bit) from Debian sid, together with the sid
#      glibc and the shared libraries its extension modules link, plus a few
#      pure-Python test and packaging tools (pytest, hypothesis, build, pip,
#      scikit-build-core, ...) and mypy. apt is driven with private
#      source/list/cache directories, so the machine's own apt state
#      is never modified.
#   3. Unpacks everything into a private prefix and patches the interpreter
#      (PT_INTERP + DT_RPATH) and the ELF modules so that they run against the
#      bundled glibc instead of the system one (the interpreter needs
#      glibc >= 2.38; bookworm ships 2.36).
#   4. Creates <checkout>/.venv (python -m venv --without-pip) whose
#      site-packages points at the bundled pure-Python tools, and verifies it.
#
# Everything downloaded lives OUTSIDE the checkout, in the cache directory
#   ${QL_TOOLCHAIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quenda-toolchain}
# so a second run (or a run from another checkout) costs a couple of seconds.
#
# Output contract (for the CMake build and for scripts):
#   <checkout>/.venv/toolchain.env   plain KEY=VALUE lines, one per line, no
#                                    quoting; the value is the rest of the line.
#                                    NOT a shell script (the include list holds
#                                    a ';'). Keys:
#     PYTHON_EXECUTABLE=<checkout>/.venv/bin/python
#     PYTHON_PREFIX=<cache>/prefix          root the Debian packages were
#                                           unpacked into (has usr/bin, usr/lib,
#                                           usr/include)
#     PYTHON_INCLUDE_DIRS=<prefix>/usr/include/python3.14;<prefix>/usr/include
#                                           (the second one is needed for
#                                           x86_64-linux-gnu/python3.14/pyconfig.h)
#     PYTHON_VERSION=3.14.x
#     PYTHON_EXT_SUFFIX=.cpython-314-x86_64-linux-gnu.so
#     PYTHON_LIBRARY_DIR=<prefix>/usr/lib/x86_64-linux-gnu (bundled glibc,
#                                           libpython3.14.so, ...)
#   <checkout>/.venv/toolchain.sh    the same values as `export KEY='VALUE'`
#                                    lines, for `source`-ing from bash.
#   <checkout>/.venv/bin/pytest      runs `python -m pytest` in the venv.
# Extension modules are built as ordinary shared objects (g++ -shared -fPIC
# with the include dirs above, no link against libpython); they load into
# .venv/bin/python even though they were compiled against the system glibc.
#
# Environment knobs:
#   QL_TOOLCHAIN_CACHE    cache directory (see above)
#   QL_DEBIAN_MIRROR      Debian mirror URI (default: the one configured in
#                         /etc/apt/sources.list.d/debian.sources)
#   QL_TOOLCHAIN_REFRESH  =1: re-read the sid package lists and fetch newer
#                         packages if sid moved on
#   QL_VENV               venv location (default <checkout>/.venv)
#   QL_QUIET              =1: print only the final KEY=VALUE lines
set -euo pipefail

# Bump when the recipe changes in a way that requires redoing the steps.
readonly RECIPE_STAMP="quenda-python-toolchain-1"
readonly PYVER="3.14"
readonly TRIPLET="x86_64-linux-gnu"

readonly SYSTEM_PACKAGES=(cmake ninja-build g++ libxxhash-dev libgtest-dev patchelf xz-utils mosquitto openssl
                          nats-server libnats-dev)
readonly PYTHON_PACKAGES=(
    "python${PYVER}" "python${PYVER}-minimal" "libpython${PYVER}-minimal"
    "libpython${PYVER}-stdlib" "libpython${PYVER}" "libpython${PYVER}-dev"
    "python${PYVER}-dev"
)
# glibc and every shared library the interpreter's own modules link against.
readonly RUNTIME_PACKAGES=(
    libc6 libssl3t64 libffi8 libzstd1 libexpat1 zlib1g libsqlite3-0 liblzma5
    libbz2-1.0 libuuid1 libncursesw6 libtinfo6 libreadline8t64 libmpdec4
    libgcc-s1
)
# Pure-Python (Architecture: all) tools used by the test suite, the
# packaging tools (PEP 517 backend, build front end, pip) that build the wheel,
# and paho-mqtt, a peer of the benchmarks (bench/python_rows.py).
readonly TOOL_PACKAGES=(
    python3-pytest python3-pluggy python3-iniconfig python3-packaging
    python3-pygments python3-hypothesis python3-sortedcontainers
    python3-dateutil python3-six
    python3-scikit-build-core python3-pathspec python3-pyproject-metadata
    python3-build python3-pyproject-hooks python3-wheel python3-pip
    python3-mypy-extensions python3-typing-extensions
    python3-paho-mqtt
)
# The type checker: sid builds mypy (and the compiled helpers it imports)
# with mypyc for sid's own CPython 3.14, so these are amd64 packages whose
# modules load into the bundled interpreter like its stdlib modules do.
readonly NATIVE_TOOL_PACKAGES=(python3-mypy python3-ast-serialize python3-librt python3-psutil)
# Modules that must import in the finished venv.
readonly REQUIRED_MODULES=(ssl ctypes re enum sqlite3 pytest hypothesis decimal
    hashlib zlib lzma bz2 json build pip scikit_build_core mypy.api)

script_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
checkout="$(cd "$script_dir/.." && pwd)"
cache="${QL_TOOLCHAIN_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/quenda-toolchain}"
prefix="$cache/prefix"
venv="${QL_VENV:-$checkout/.venv}"
libdir="$prefix/usr/lib/$TRIPLET"
interp="$prefix/usr/bin/python$PYVER"
loader="$libdir/ld-linux-x86-64.so.2"
t_start=$SECONDS
venv_fresh=0

say()  { [[ "${QL_QUIET:-0}" == 1 ]] || printf '[provision %3ds] %s\n' "$((SECONDS - t_start))" "$*" >&2; }
die()  { printf 'provision-python: error: %s\n' "$*" >&2; exit 1; }
warn() { printf 'provision-python: warning: %s\n' "$*" >&2; }

# retry <attempts> <command...>: run the command, retrying with a growing pause.
retry() {
    local attempts=$1; shift
    local n=1
    until "$@"; do
        if ((n >= attempts)); then
            warn "giving up after $n attempts: $*"
            return 1
        fi
        warn "attempt $n failed, retrying in $((n * 5))s: $*"
        sleep $((n * 5))
        n=$((n + 1))
    done
}

as_root() {
    if [[ $EUID -eq 0 ]]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else die "need root to run: $* (no sudo available)"
    fi
}

# Step markers: <cache>/stamps/<name> holds the stamp of the completed step.
stamp_ok()  { [[ -f "$cache/stamps/$1" && "$(cat "$cache/stamps/$1")" == "$2" ]]; }
stamp_set() { mkdir -p "$cache/stamps"; printf '%s\n' "$2" >"$cache/stamps/$1.tmp"; mv -f "$cache/stamps/$1.tmp" "$cache/stamps/$1"; }

# ---------------------------------------------------------------------------
# 1. System build packages.
# ---------------------------------------------------------------------------
install_system_packages() {
    local missing=() p status
    for p in "${SYSTEM_PACKAGES[@]}"; do
        status="$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)"
        [[ "$status" == installed ]] || missing+=("$p")
    done
    if ((${#missing[@]} == 0)); then
        say "system packages present"
        return
    fi
    say "installing system packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # apt's chatter goes to stderr: stdout carries only the final KEY=VALUE lines.
    retry 3 as_root apt-get update -q >&2 || die "apt-get update failed (is deb.debian.org reachable?)"
    retry 3 as_root apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 \
        || die "apt-get install ${missing[*]} failed"
}

# ---------------------------------------------------------------------------
# 2. Private sid apt state and package download.
# ---------------------------------------------------------------------------
mirror_uri() {
    if [[ -n "${QL_DEBIAN_MIRROR:-}" ]]; then
        printf '%s\n' "$QL_DEBIAN_MIRROR"; return
    fi
    local f=/etc/apt/sources.list.d/debian.sources uri=""
    if [[ -r "$f" ]]; then
        # First URIs: line that is not the security archive.
        uri="$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' "$f")"
    fi
    printf '%s\n' "${uri:-http://deb.debian.org/debian}"
}

apt_dir="$cache/apt"
sid_apt_opts=(
    -o "Dir::Etc::sourcelist=$apt_dir/sid.sources"
    -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Dir::Cache::archives=$apt_dir/cache/archives"
    -o "Dir::Cache::pkgcache=$apt_dir/cache/pkgcache.bin"
    -o "Dir::Cache::srcpkgcache=$apt_dir/cache/srcpkgcache.bin"
    -o "APT::Sandbox::User=root"
    -o "Acquire::Languages=none"
    -o "Acquire::Retries=3"
    -o "APT::Get::AllowUnauthenticated=false"
)
sid_apt() { apt-get -q "${sid_apt_opts[@]}" "$@"; }

sid_update() {
    local uri
    uri="$(mirror_uri)"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
    cat >"$apt_dir/sid.sources" <<EOF
Types: deb
URIs: $uri
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    say "reading Debian sid package lists from $uri"
    retry 4 sid_apt update >"$apt_dir/update.log" 2>&1 \
        || { cat "$apt_dir/update.log" >&2; die "apt-get update for sid failed (see above)"; }
    # apt-get update exits 0 on some fetch failures; insist on a Packages list.
    compgen -G "$apt_dir/lists/*_sid_main_binary-amd64_Packages*" >/dev/null \
        || { cat "$apt_dir/update.log" >&2; die "sid package list missing after apt-get update"; }
    stamp_set sid-lists "$RECIPE_STAMP $uri"
}

all_packages=("${PYTHON_PACKAGES[@]}" "${RUNTIME_PACKAGES[@]}" "${TOOL_PACKAGES[@]}"
    "${NATIVE_TOOL_PACKAGES[@]}")
debs_dir="$cache/debs"
manifest="$debs_dir/manifest"

# Writes "<file name> <sha256>" for the current sid candidate of every
# package to stdout; fails if a package is unknown.
candidate_files() {
    local out
    out="$(sid_apt download --print-uris "${all_packages[@]}" 2>&1)" \
        || { printf '%s\n' "$out" >&2; return 1; }
    # Lines look like: 'http://.../x.deb' x.deb 1234 SHA256:abcd...
    printf '%s\n' "$out" | awk -F"'" 'NF >= 3 {
        split($3, a, " "); h = a[3]; sub(/^SHA256:/, "", h); print a[1], h }' | sort
}

# deb_ok <file> <sha256>: the cached file exists and is intact.
deb_ok() { [[ -s "$debs_dir/$1" ]] && [[ "$(sha256sum <"$debs_dir/$1" | cut -d' ' -f1)" == "$2" ]]; }

download_packages() {
    local files missing=() f h n
    files="$(candidate_files)" || die "could not resolve the sid packages (see above)"
    n="$(printf '%s\n' "$files" | grep -c .)"
    ((n == ${#all_packages[@]})) || die "expected ${#all_packages[@]} packages from sid, apt resolved $n"
    mkdir -p "$debs_dir"
    while read -r f h; do
        [[ ${#h} -eq 64 ]] || die "apt reported no SHA256 for $f"
        deb_ok "$f" "$h" || { rm -f "$debs_dir/$f"; missing+=("${f%%_*}"); }
    done <<<"$files"
    if ((${#missing[@]})); then
        say "downloading ${#missing[@]} packages from sid"
        (cd "$debs_dir" && retry 4 sid_apt download "${missing[@]}" >&2) || return 1
    fi
    while read -r f h; do
        deb_ok "$f" "$h" || { warn "$f is missing or fails its SHA256 check"; return 1; }
    done <<<"$files"
    printf '%s\n' "$files" | cut -d' ' -f1 >"$manifest.tmp"
    mv -f "$manifest.tmp" "$manifest"
    # Drop superseded versions so the cache does not grow without bound.
    for f in "$debs_dir"/*.deb; do
        grep -qxF "${f##*/}" "$manifest" || rm -f "$f"
    done
    stamp_set debs "$RECIPE_STAMP ${all_packages[*]}"
}

fetch_debs() {
    local refresh="${QL_TOOLCHAIN_REFRESH:-0}"
    if [[ "$refresh" != 1 ]] && stamp_ok debs "$RECIPE_STAMP ${all_packages[*]}" && [[ -s "$manifest" ]]; then
        say "packages already downloaded ($(wc -l <"$manifest") .deb files)"
        return
    fi
    if [[ "$refresh" == 1 ]] || ! stamp_ok sid-lists "$RECIPE_STAMP $(mirror_uri)"; then
        sid_update
    fi
    if ! download_packages; then
        # The lists may be stale (sid replaced a version): refresh once.
        warn "download failed; refreshing the sid package lists and retrying"
        sid_update
        download_packages || die "could not download the sid packages"
    fi
}

# ---------------------------------------------------------------------------
# 3. Unpack into the prefix and patch the ELF files.
# ---------------------------------------------------------------------------
is_elf() { [[ "$(head -c 4 "$1" 2>/dev/null | od -An -c | tr -d ' \n')" == '177ELF' ]]; }

patch_tree() {
    local root=$1 f n=0
    local ld="$prefix/usr/lib/$TRIPLET/ld-linux-x86-64.so.2" rp="$prefix/usr/lib/$TRIPLET"
    [[ -f "$root/usr/lib/$TRIPLET/ld-linux-x86-64.so.2" && ! -L "$root/usr/lib/$TRIPLET/ld-linux-x86-64.so.2" ]] \
        || die "sid libc6 did not provide usr/lib/$TRIPLET/ld-linux-x86-64.so.2"
    # The interpreter: bundled loader, and DT_RPATH (not RUNPATH) so that the
    # directory also applies to indirect dependencies (libssl -> libcrypto).
    patchelf --set-interpreter "$ld" --force-rpath --set-rpath "$rp" "$root/usr/bin/python$PYVER" \
        || die "patchelf failed on python$PYVER"
    # Extension modules of the standard library and libpython itself.
    for f in "$root/usr/lib/python$PYVER/lib-dynload/"*.so "$root/usr/lib/$TRIPLET/libpython$PYVER.so.1.0"; do
        [[ -f "$f" && ! -L "$f" ]] && is_elf "$f" || continue
        patchelf --force-rpath --set-rpath "$rp" "$f" || die "patchelf failed on $f"
        n=$((n + 1))
    done
    ((n > 20)) || die "expected the stdlib extension modules under usr/lib/python$PYVER/lib-dynload, patched only $n"
    say "patched python$PYVER and $n shared objects"
}

build_prefix() {
    local want have="" f
    want="$RECIPE_STAMP $prefix $(md5sum <"$manifest" | cut -d' ' -f1)"
    [[ -f "$prefix/.stamp" ]] && have="$(cat "$prefix/.stamp")"
    if [[ "$have" == "$want" && -x "$interp" ]]; then
        say "prefix up to date: $prefix"
        return
    fi
    command -v patchelf >/dev/null || die "patchelf not found (it should have been installed with the system packages)"
    local stage="$prefix.new.$$"
    rm -rf "$stage"
    mkdir -p "$stage"
    say "unpacking $(wc -l <"$manifest") packages"
    while read -r f; do
        if ! dpkg -x "$debs_dir/$f" "$stage"; then
            # Forget the download so that the next run fetches it again.
            rm -f "$debs_dir/$f" "$cache/stamps/debs"
            rm -rf "$stage"
            die "dpkg -x $f failed; removed the cached file, please rerun"
        fi
    done <"$manifest"
    [[ -x "$stage/usr/bin/python$PYVER" ]] || die "python$PYVER binary missing after unpacking"
    patch_tree "$stage"
    printf '%s\n' "$want" >"$stage/.stamp"
    # Swap atomically-enough: the old prefix is removed only after the new one
    # is in place.
    rm -rf "$prefix.old"
    [[ -e "$prefix" ]] && mv "$prefix" "$prefix.old"
    mv "$stage" "$prefix"
    rm -rf "$prefix.old"
    # The patched paths are absolute: sanity-run the interpreter in place.
    "$interp" -c 'import sys; assert sys.version_info[:2] == (3, 14)' \
        || die "the unpacked interpreter does not run: $interp"
}

# ---------------------------------------------------------------------------
# 4. The checkout's virtual environment.
# ---------------------------------------------------------------------------
make_venv() {
    local want have=""
    want="$RECIPE_STAMP $(cat "$prefix/.stamp")"
    [[ -f "$venv/.toolchain-stamp" ]] && have="$(cat "$venv/.toolchain-stamp")"
    if [[ "$have" == "$want" && -x "$venv/bin/python" ]]; then
        say "venv up to date: $venv"
    else
        say "creating $venv"
        rm -rf "$venv"
        "$interp" -m venv --without-pip "$venv" || die "python -m venv failed"
        local site
        site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"
        [[ -d "$site" ]] || die "venv site-packages not found: $site"
        # addsitedir (rather than a bare path) also honours .pth files there.
        printf 'import site; site.addsitedir(%s)\n' "'$prefix/usr/lib/python3/dist-packages'" \
            >"$site/quenda_toolchain.pth"
        cat >"$venv/bin/pytest" <<'EOF'
#!/bin/sh
exec "$(dirname "$0")/python" -m pytest "$@"
EOF
        chmod +x "$venv/bin/pytest"
        printf '%s\n' "$want" >"$venv/.toolchain-stamp"
        venv_fresh=1
    fi
}

verify_and_describe() {
    local py="$venv/bin/python" info
    info="$("$py" - "${REQUIRED_MODULES[@]}" <<'EOF'
import importlib, os, sys, sysconfig
assert sys.version_info[:2] == (3, 14), sys.version
assert sys.maxsize > 2**32, "not a 64-bit interpreter"
bad = []
for name in sys.argv[1:]:
    try:
        importlib.import_module(name)
    except Exception as e:  # report all failures at once
        bad.append(f"{name}: {e!r}")
if bad:
    sys.exit("required modules failed to import:\n  " + "\n  ".join(bad))
import ctypes, ssl, sqlite3
assert ctypes.CDLL(None).strlen(b"quenda") == 6
assert ssl.create_default_context().check_hostname
sqlite3.connect(":memory:").execute("select 1").fetchone()
print("version=%d.%d.%d" % sys.version_info[:3])
print("ext_suffix=" + sysconfig.get_config_var("EXT_SUFFIX"))
print("openssl=" + ssl.OPENSSL_VERSION)
EOF
)" || die "verification of $py failed (see above)"
    local version ext
    version="$(sed -n 's/^version=//p' <<<"$info")"
    ext="$(sed -n 's/^ext_suffix=//p' <<<"$info")"
    say "verified: Python $version, $(sed -n 's/^openssl=//p' <<<"$info")"

    # Optional stdlib modules that fail to load are reported, not fatal.
    # Only checked after (re)building the venv: it costs about a second.
    local broken=""
    ((venv_fresh)) && broken="$("$py" - "$prefix/usr/lib/python$PYVER/lib-dynload" <<'EOF'
import importlib, os, sys
skip = {"_tkinter", "_gdbm"}  # need libraries that are not bundled
for f in sorted(os.listdir(sys.argv[1])):
    name = f.split(".")[0]
    if f.endswith(".so") and name not in skip:
        try:
            importlib.import_module(name)
        except Exception as e:
            print(f"{name}: {e}")
EOF
)" || true
    [[ -z "$broken" ]] || warn "some stdlib extension modules do not load:"$'\n'"$broken"

    local incs="$prefix/usr/include/python$PYVER;$prefix/usr/include"
    [[ -f "$prefix/usr/include/python$PYVER/Python.h" ]] || die "Python.h missing under $prefix/usr/include/python$PYVER"
    [[ -f "$prefix/usr/include/$TRIPLET/python$PYVER/pyconfig.h" ]] || die "pyconfig.h missing under $prefix/usr/include/$TRIPLET"
    local -a kv=(
        "PYTHON_EXECUTABLE=$py"
        "PYTHON_PREFIX=$prefix"
        "PYTHON_INCLUDE_DIRS=$incs"
        "PYTHON_VERSION=$version"
        "PYTHON_EXT_SUFFIX=$ext"
        "PYTHON_LIBRARY_DIR=$libdir"
    )
    printf '%s\n' "${kv[@]}" >"$venv/toolchain.env.tmp"
    mv -f "$venv/toolchain.env.tmp" "$venv/toolchain.env"
    local line
    for line in "${kv[@]}"; do
        printf "export %s='%s'\n" "${line%%=*}" "${line#*=}"
    done >"$venv/toolchain.sh"
    say "done; wrote $venv/toolchain.env"
    printf '%s\n' "${kv[@]}"
}

main() {
    [[ "$(uname -m)" == x86_64 ]] || die "only x86_64 is supported (this is $(uname -m))"
    install_system_packages
    mkdir -p "$cache"
    # One provisioning at a time per cache directory.
    exec 9>"$cache/.lock"
    flock 9
    fetch_debs
    build_prefix
    make_venv
    verify_and_describe
}

main "$@"
