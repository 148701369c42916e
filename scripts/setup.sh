# Shared set-up of scripts/run and scripts/test: installs what is missing,
# then configures and builds into build/.  Sourced, not run.

KESTRUNE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KESTRUNE_BUILD="$KESTRUNE_ROOT/build"

KESTRUNE_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6network6 libqt6test6
  libxml2-dev libcurl4-openssl-dev openssl
  fonts-noto-cjk
  tinyproxy nginx-light curl
  xvfb xauth
)

kestrune_install_packages() {
  local missing=() pkg
  for pkg in "${KESTRUNE_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "kestrune: installing ${missing[*]}" >&2
  local apt=(apt-get)
  if [ "$(id -u)" -ne 0 ]; then
    apt=(sudo apt-get)
  fi
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" update -qq || return 1
  DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" || return 1
  # nginx and tinyproxy are started by the tests themselves, on free ports.
  if command -v systemctl >/dev/null 2>&1; then
    systemctl disable --now nginx tinyproxy >/dev/null 2>&1 || true
  fi
}

kestrune_build() {
  if [ ! -f "$KESTRUNE_BUILD/build.ninja" ]; then
    cmake -S "$KESTRUNE_ROOT" -B "$KESTRUNE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
  fi
  cmake --build "$KESTRUNE_BUILD" -j"$(nproc)" || return 1
}
