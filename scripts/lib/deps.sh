# Sourced by scripts/test, scripts/demo and scripts/bench: installs what the build, the tests
# and the demo need, and nothing when it is all there already.

# The one list of Debian packages the project needs.
VANTREL_APT_PACKAGES=(
    build-essential cmake pkg-config git
    qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
    libspdlog-dev libfmt-dev
    libpq-dev postgresql postgresql-client
    libssl-dev libsystemd-dev
    # The metrics endpoint's HTTP server; promtool (in prometheus) checks what it serves.
    libmicrohttpd-dev prometheus
    libgtest-dev libgmock-dev googletest
    clang libclang-rt-14-dev
    xvfb xauth fonts-wqy-microhei
    dbus at-spi2-core python3-pyatspi imagemagick
    nodejs npm
    ccache ninja-build
)

vantrel_missing_packages() {
    local pkg missing=()
    for pkg in "${VANTREL_APT_PACKAGES[@]}"; do
        # nodejs may come from another repository with npm inside it; node and npm on PATH will do.
        if [ "$pkg" = npm ] || [ "$pkg" = nodejs ]; then
            command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 && continue
        fi
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    echo "${missing[@]}"
}

vantrel_install_deps() {
    local missing
    missing=$(vantrel_missing_packages)
    [ -z "$missing" ] && return 0
    echo "Installing Debian packages: $missing"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 || {
            echo "error: missing packages ($missing) and no sudo; install them as root" >&2
            return 1
        }
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    # shellcheck disable=SC2086
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

# The OPC UA test server (node-opcua) is a test fixture only: installed into its own
# git-ignored node_modules, never globally.
vantrel_install_npm_fixture() {
    local dir="$1"
    [ -f "$dir/package.json" ] || return 0
    if [ -d "$dir/node_modules" ] && [ "$dir/node_modules/.package-lock.json" -nt "$dir/package.json" ]; then
        return 0
    fi
    echo "Installing the OPC UA test server's npm packages into $dir/node_modules"
    (cd "$dir" && npm install --no-audit --no-fund --loglevel=error)
}

# Appends to the array named $1 the CMake arguments that compile through ccache, when it is
# installed. Its cache stays outside the clone (~/.cache/ccache), and paths are taken relative to
# the clone, so that a machine's next run, even from a fresh clone elsewhere, finds it warm.
vantrel_compiler_cache() {
    command -v ccache >/dev/null 2>&1 || return 0
    local -n args=$1
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
    args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
}

# cmake -S . -B DIR ARGS... with Ninja when it is installed (it keeps both cores busy across
# targets, where make waits at each folder). A tree made earlier with another generator is
# started afresh, as cmake would refuse to switch it.
vantrel_configure() {
    local dir=$1
    shift
    local generator=()
    if command -v ninja >/dev/null 2>&1; then
        generator=(-G Ninja)
        if [ -f "$dir/CMakeCache.txt" ] && ! grep -qx "CMAKE_GENERATOR:INTERNAL=Ninja" "$dir/CMakeCache.txt"; then
            rm -rf "$dir"
        fi
    fi
    cmake -S . -B "$dir" "${generator[@]}" "$@"
}
