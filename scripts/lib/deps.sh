# shellcheck shell=bash
# Shared by the scripts: installs the Debian packages and npm modules the project needs,
# and only those that are missing, so a second run installs nothing.
# Usage: source this file, then call need_packages PKG... and need_node_modules.

# Whether a Debian package is installed.
package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

apt_updated=no

# Installs the given Debian packages that are not installed yet.
need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    package_installed "$pkg" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}; run this script as root to install them." >&2
    return 1
  fi
  echo "==> Installing ${missing[*]}"
  # Another install may hold the package lock for a while; wait for it rather than fail.
  local wait_lock=(-o DPkg::Lock::Timeout=600)
  if [ "$apt_updated" = no ]; then
    apt-get "${wait_lock[@]}" update -qq
    apt_updated=yes
  fi
  DEBIAN_FRONTEND=noninteractive apt-get "${wait_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Installs a package only when its command is missing: Node.js may come from elsewhere
# (nodesource bundles npm), and Debian's npm package would fight such an install.
need_command() {
  command -v "$1" >/dev/null 2>&1 || need_packages "$2"
}

# The packages scripts/release needs beyond the build: the archivers and their normaliser.
# shellcheck disable=SC2034 # used by the scripts that source this file
RELEASE_PACKAGES=(git tar gzip zip unzip strip-nondeterminism)

# The packages needed to build both programs and run every test.
# shellcheck disable=SC2034 # used by the scripts that source this file
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev g++-mingw-w64-x86-64-posix
  clang libclang-rt-14-dev)
# shellcheck disable=SC2034 # used by the scripts that source this file
# The page tests run in Chromium, Firefox (firefox-esr) and WebKit (webkit2gtk-driver runs
# WebKitGTK's MiniBrowser, which needs an X display: xvfb).
RUN_PACKAGES=(wine wine64 chromium firefox-esr webkit2gtk-driver xvfb lighttpd wrk curl qrencode)
# The packages of scripts/check: formatting, static analysis, shell linting and coverage.
# shellcheck disable=SC2034 # used by the scripts that source this file
CHECK_PACKAGES=(clang-format clang-tidy shellcheck gcovr)

# Installs the npm modules from the committed lock file when they are missing or stale.
need_node_modules() {
  local root=$1
  local stamp="$root/node_modules/.package-lock.json"
  if [ ! -f "$stamp" ] || [ "$root/package-lock.json" -nt "$stamp" ]; then
    echo "==> Installing npm modules from package-lock.json"
    (cd "$root" && npm ci --no-audit --no-fund --loglevel=error)
  fi
}
