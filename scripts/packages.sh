# Debian packages COMM needs to build and test, and a helper that installs the
# missing ones (sourced by run.sh and test.sh).
TAVREL_PACKAGES=(cmake ninja-build g++ libgtest-dev unixodbc unixodbc-dev odbcinst libsqliteodbc libsqlite3-dev
                 sqlite3 pkg-config libsystemd-dev help2man dpkg-dev libcpp-httplib-dev prometheus-cpp-dev chromium
                 postgresql odbc-postgresql clang libclang-rt-14-dev)

# Installs the packages of TAVREL_PACKAGES that are missing; as another user
# than root, names them and fails.
ensure_packages() {
  local missing=() package
  for package in "${TAVREL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]} == 0)) && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root:  apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
