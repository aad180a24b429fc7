#!/usr/bin/env bash
# The Debian package of a build: packed with cpack, unpacked into a scratch
# root (nothing on the machine changes), its files and declared dependencies
# checked, and its tavrel-setup, tavrel-comm and tavrel-web run from there.
#
#   package_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work=$(mktemp -d /tmp/tavrel-package-XXXXXX)
comm_pid=
cleanup() {
  [[ -n $comm_pid ]] && kill -KILL "$comm_pid" 2>/dev/null
  [[ -n ${TAVREL_KEEP_TEST_DIRS:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
programs=(tavrel-comm tavrel-setup tavrel-web tavrel-sim Tabulon)

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.txt" 2>&1) || { cat "$work/cpack.txt"; fail "cpack failed"; }
deb=$work/out/tavrel-comm_${version}_amd64.deb
[[ -f $deb ]] || fail "no package named $(basename "$deb"): $(ls "$work/out")"
root=$work/root
dpkg-deb -x "$deb" "$root"

# What an operator expects where a Debian system keeps it.
for program in "${programs[@]}"; do
  [[ -x $root/usr/bin/$program ]] || fail "/usr/bin/$program is missing"
  page=$root/usr/share/man/man1/$program.1.gz
  [[ -f $page ]] || fail "no man page for $program"
  # Made from the program's own help, so its options are there.
  zcat "$page" | grep -q -- '-help' || fail "the man page of $program lacks its help text"
done
[[ -f $root/usr/share/tavrel-comm/pgc_dataset.txt ]] || fail "the data set is missing"
[[ -f $root/usr/share/doc/tavrel-comm/README.md ]] || fail "the README is missing"
unit=$root/usr/lib/systemd/system/tavrel-comm.service
[[ -f $unit ]] || fail "the systemd unit is missing"
grep -qx 'ExecStart=/usr/bin/tavrel-comm' "$unit" || fail "the unit does not start /usr/bin/tavrel-comm"
dpkg-deb -I "$deb" postinst | grep -q 'adduser --system' || fail "postinst makes no system user"

# Every library the programs link comes from a declared dependency (the
# libraries those pull in are their packages' business), and the ODBC driver
# they load by name too.
depends=$(dpkg-deb -f "$deb" Depends)
declared=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/[[:space:]]//g')
grep -qx libsqliteodbc <<<"$declared" || fail "libsqliteodbc is not declared: $depends"
libraries=$(for program in "${programs[@]}"; do
  binary=$root/usr/bin/$program
  for needed in $(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    ldd "$binary" | awk -v name="$needed" '$1 == name && $2 == "=>" {print $3}'
  done
done | sort -u)
[[ -n $libraries ]] || fail "no linked libraries found"
for library in $libraries; do
  owner=
  for candidate in "$library" "$(readlink -f "$library")" "/usr$library" "${library#/usr}"; do
    owner=$(dpkg -S "$candidate" 2>/dev/null | head -1 | cut -d: -f1) && [[ -n $owner ]] && break
  done
  [[ -n $owner ]] || fail "no Debian package owns $library"
  grep -qx "$owner" <<<"$declared" || fail "$library comes from $owner, which the package does not declare: $depends"
done

if command -v systemd-analyze >/dev/null; then
  # The unit as installed, pointed at the unpacked server.
  mkdir -p "$work/units"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/units/tavrel-comm.service"
  systemd-analyze verify --man=no "$work/units/tavrel-comm.service" >"$work/verify.txt" 2>&1 || {
    cat "$work/verify.txt"
    fail "systemd-analyze verify rejects the unit"
  }
  if grep -i 'tavrel-comm.service' "$work/verify.txt"; then fail "systemd-analyze verify warns about the unit"; fi
fi

# The unpacked programs make an installation and serve a login. A port taken
# meanwhile ends the server (no terminal to ask): try another.
inst=$work/inst
started=
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 40000))
  "$root/usr/bin/tavrel-setup" --port "$port" --user admin:admin "$inst" >"$work/setup.txt" 2>&1 ||
    { cat "$work/setup.txt"; fail "tavrel-setup failed"; }
  (cd "$inst/comm" && exec env $(cat "$inst/env") "$root/usr/bin/tavrel-comm") </dev/null >"$work/comm.txt" 2>&1 &
  comm_pid=$!
  for _ in $(seq 300); do
    grep -q 'listening  ok.' "$work/comm.txt" && { started=1; break; }
    kill -0 "$comm_pid" 2>/dev/null || break
    sleep 0.1
  done
  [[ -n $started ]] && break
  wait "$comm_pid" || true
  comm_pid=
done
[[ -n $started ]] || { cat "$work/comm.txt"; fail "the installed tavrel-comm did not listen"; }
"$root/usr/bin/tavrel-web" --install "$inst" --user admin LOGIN password=admin session=s1 ip=127.0.0.1 , \
  LOGOUT session=s1 >"$work/web.txt" 2>&1 || { cat "$work/web.txt" "$work/comm.txt"; fail "login through the installed programs failed"; }
kill -TERM "$comm_pid"
status=0
wait "$comm_pid" || status=$?
comm_pid=
[[ $status -eq 0 ]] || { cat "$work/comm.txt"; fail "tavrel-comm ended with $status after SIGTERM"; }
grep -q 'Every slot is given up, COMM ended' "$work/comm.txt" || { cat "$work/comm.txt"; fail "no last log line"; }
echo "package $(basename "$deb") installs and runs"
