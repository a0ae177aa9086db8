# Sourced by scripts/demo and scripts/test: brings a fresh machine to the
# point where the module builds, then installs it into .venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

need_debian_packages() {
    local missing=()
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "==> installing system packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python312() {
    local candidate
    for candidate in \
        "$(cd "$ROOT" && pyenv which python3.12 2>/dev/null || true)" \
        "$(pyenv prefix 3.12.1 2>/dev/null || true)/bin/python3.12" \
        "$(command -v python3.12 || true)" \
        "$HOME"/.pyenv/versions/3.12*/bin/python3.12; do
        if [ -n "$candidate" ] && [ -x "$candidate" ]; then
            echo "$candidate"
            return 0
        fi
    done
    echo "Python 3.12 not found (pyenv 3.12.1 or python3.12 on PATH is needed)" >&2
    return 1
}

# pip, without the notices about package index folders missing on this
# machine; pip's own exit status is kept.
pip_quiet() {
    local log status=0
    log="$(mktemp)"
    "$VENV/bin/python" -m pip --disable-pip-version-check "$@" >"$log" 2>&1 || status=$?
    grep -v -e '^WARNING: Location' "$log" || true
    rm -f "$log"
    return $status
}

# The build tools; installed again only when this list changes, not on every run.
BUILD_TOOLS=("scikit-build-core>=0.10" "cmake>=3.20" ninja "pytest>=8")

make_venv() {
    if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
        rm -rf "$VENV"
        "$(find_python312)" -m venv "$VENV"
    fi
    local stamp="$VENV/.seqtally-build-tools"
    if [ "$(cat "$stamp" 2>/dev/null)" != "${BUILD_TOOLS[*]}" ]; then
        pip_quiet install -q --upgrade pip
        pip_quiet install -q "${BUILD_TOOLS[@]}"
        echo "${BUILD_TOOLS[*]}" >"$stamp"
    fi
}

# The wheel tag that names the module's build folder (build/{wheel_tag}).
wheel_tag() {
    "$VENV/bin/python" -c 'import sysconfig; v = sysconfig.get_config_var("py_version_nodot"); print(f"cp{v}-cp{v}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_"))'
}

# install_module [EXTRA [PIP OPTIONS...]]: the module, with the optional
# dependencies named EXTRA in pyproject.toml (for example "test").
install_module() {
    echo "==> building and installing seqtally"
    local target="$ROOT"
    [ $# -gt 0 ] && target="$ROOT[$1]" && shift
    pip_quiet install -q --no-build-isolation "$target" "$@"
}

# The documentation site into build/docs/html, from the installed package
# (its `docs` extra installed): warnings are errors, and the examples on its
# pages run as doctests. A fresh environment (-E), since Sphinx notices a
# change of the pages but not of the package or the parser; the doctests
# reuse what the HTML build read. The module's page shows a failure caught,
# so its panic message appears on standard error, as the module writes it.
build_docs() {
    local out="$ROOT/build/docs"
    echo "==> documentation site (warnings as errors) and its doctests"
    (cd "$ROOT" && "$VENV/bin/python" -m sphinx -E -W --keep-going -q -b html -d "$out/doctrees" docs "$out/html" &&
        "$VENV/bin/python" -m sphinx -W --keep-going -q -b doctest -d "$out/doctrees" docs "$out/doctest")
}
