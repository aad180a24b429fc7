#!/usr/bin/env bash
# Builds COMM, provisions an installation (kept when it exists) and runs the
# server in the foreground. Stop it with Ctrl-C.
#
#   scripts/run.sh [--port N] [DIR]      DIR defaults to ./install
#
# A new installation gets the user admin (password admin) and, without
# --port, the port 6000.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
source scripts/packages.sh
ensure_packages

port=
dir=./install
while (($#)); do
  case $1 in
    --port) port=$2; shift 2 ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) dir=$1; shift ;;
  esac
done

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C build tavrel-comm tavrel-setup tavrel-web Tabulon tavrel-sim

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [[ -f $dir/env && -f $dir/web/info/tavrel.conf ]]; then
  echo "Refreshing the existing installation $dir (accounts and data are kept)"
  build/bin/tavrel-setup ${port:+--port "$port"} "$dir"
else
  build/bin/tavrel-setup --port "${port:-6000}" --user admin:admin "$dir"
fi

cat <<HINT
Try it from another terminal:
  $repo/build/bin/tavrel-web --install $dir --user admin LOGIN password=admin session=s1 ip=127.0.0.1 , LOGOUT session=s1
HINT

cd "$dir/comm"
while IFS= read -r line; do
  [[ $line == *=* ]] && export "$line"
done <"$dir/env"
exec "$repo/build/bin/tavrel-comm"
