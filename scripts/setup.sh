# Shared set-up of scripts/run and scripts/test: installs what is missing,
# then configures and builds into build/.  Sourced, not run.  With CI set
# (and not "0" or "false"), warnings are errors.

KESTRUNE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
KESTRUNE_BUILD="$KESTRUNE_ROOT/build"

# Where a compiler cache is installed, configuring picks it up (CMake reads
# this variable when it first configures a build folder).
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

KESTRUNE_PACKAGES=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libqt6network6 libqt6test6
  libxml2-dev libcurl4-openssl-dev zlib1g-dev libbrotli-dev openssl locales
  fonts-noto-cjk libfontconfig-dev qt6-translations-l10n
  tinyproxy nginx-light apache2 curl dante-server
  krb5-kdc krb5-admin-server krb5-user libapache2-mod-auth-gssapi
  xvfb xauth
  dpkg-dev file lintian systemd bash-completion
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
  # nginx, Apache, tinyproxy, danted and the KDC are started by the tests themselves,
  # on free ports; one unit at a time, so that a missing one does not keep
  # the rest running.
  if command -v systemctl >/dev/null 2>&1; then
    local unit
    for unit in nginx tinyproxy apache2 apache-htcacheclean danted krb5-kdc krb5-admin-server; do
      systemctl disable --now "$unit" >/dev/null 2>&1 || true
    done
  fi
}

# "ja_JP.EUC-JP" and locale -a's "ja_JP.eucjp" name the same locale.
kestrune_locale_key() {
  local lang="${1%%.*}" codeset=""
  [[ "$1" == *.* ]] && codeset="${1#*.}"
  codeset="${codeset%%@*}"
  codeset="$(printf '%s' "$codeset" | tr -cd '[:alnum:]' | tr '[:upper:]' '[:lower:]')"
  printf '%s.%s\n' "$lang" "$codeset"
}

# kestrune_ensure_locale NAME CHARSET: generates the locale NAME (for example
# ja_JP.EUC-JP EUC-JP) when locale -a does not list it yet, by enabling its
# line in /etc/locale.gen and running locale-gen.
kestrune_ensure_locale() {
  local name="$1" charset="$2" want have
  want="$(kestrune_locale_key "$name")"
  while IFS= read -r have; do
    [ "$(kestrune_locale_key "$have")" = "$want" ] && return 0
  done < <(locale -a 2>/dev/null)
  command -v locale-gen >/dev/null 2>&1 || return 1
  echo "kestrune: generating the locale $name" >&2
  local root=()
  if [ "$(id -u)" -ne 0 ]; then
    root=(sudo)
  fi
  local line="$name $charset" pattern="${name//./\\.}[[:space:]]+${charset//./\\.}[[:space:]]*$"
  if grep -Eq "^[[:space:]]*#[[:space:]]*$pattern" /etc/locale.gen 2>/dev/null; then
    "${root[@]}" sed -i -E "s/^[[:space:]]*#[[:space:]]*($pattern)/\\1/" /etc/locale.gen || return 1
  elif ! grep -Eq "^[[:space:]]*$pattern" /etc/locale.gen 2>/dev/null; then
    printf '%s\n' "$line" | "${root[@]}" tee -a /etc/locale.gen >/dev/null || return 1
  fi
  "${root[@]}" locale-gen >/dev/null || return 1
}

kestrune_ci() {
  case "${CI:-}" in
    "" | 0 | false | FALSE | False) return 1 ;;
  esac
}

kestrune_build() {
  local werror=OFF
  kestrune_ci && werror=ON
  if ! grep -qx "KESTRUNE_WERROR:BOOL=$werror" "$KESTRUNE_BUILD/CMakeCache.txt" 2>/dev/null \
     || [ ! -f "$KESTRUNE_BUILD/build.ninja" ]; then
    cmake -S "$KESTRUNE_ROOT" -B "$KESTRUNE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DKESTRUNE_WERROR="$werror" || return 1
  fi
  cmake --build "$KESTRUNE_BUILD" -j"$(nproc)" || return 1
}

# The address and undefined-behaviour sanitizer build (preset asan, in
# build/asan).
kestrune_build_sanitized() {
  (cd "$KESTRUNE_ROOT" && cmake --preset asan >/dev/null && cmake --build --preset asan -j"$(nproc)")
}
