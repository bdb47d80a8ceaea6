#!/usr/bin/env bash
# Proof that a program outside this tree can use the installed library: installs it (runtime
# and dev) into a staging prefix, copies examples/ to a scratch folder, builds them against that
# install alone (CMake; fetch also with make and pkg-config), and runs both fetch builds against
# a loopback server (python3 -m http.server), comparing the body with the file served.
#   scripts/check-install.sh [BUILD_DIR]          (default build/default, already built)
#   scripts/check-install.sh --packages [BUILD_DIR]
#       the same against the Debian packages instead: makes them with CPack, installs
#       libdorvane-http1 and libdorvane-http-dev with apt-get (root), builds and runs the examples
#       against /usr, and removes the two packages again.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
packages=false
if [[ ${1:-} == --packages ]]; then packages=true; shift; fi
build=$(cd "${1:-build/default}" && pwd)

fail() { echo "check-install: $*" >&2; exit 1; }
work=$(mktemp -d)
server=
bad_server=
cleanup() {
  [[ -z $server ]] || kill "$server" 2>/dev/null || true
  [[ -z $bad_server ]] || kill "$bad_server" 2>/dev/null || true
  if [[ $packages == true ]]; then
    apt-get remove -y -qq libdorvane-http-dev libdorvane-http1 >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [[ $packages == true ]]; then
  [[ $(id -u) -eq 0 ]] || fail "--packages installs with apt-get: run as root"
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >"$work/cpack.log" 2>&1 \
    || fail "cpack failed: $(tail -n 20 "$work/cpack.log")"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "$work"/debs/libdorvane-http1_*.deb "$work"/debs/libdorvane-http-dev_*.deb >"$work/apt.log" 2>&1 \
    || fail "apt-get install failed: $(tail -n 20 "$work/apt.log")"
  prefix=/usr
  cmake_args=()
  pc_path=
  library_path=
else
  prefix=$work/stage
  for component in runtime dev; do
    cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
  done
  cmake_args=(-DCMAKE_PREFIX_PATH="$prefix")
  libdir=$(dirname "$(find "$prefix" -name 'libdorvane-http.so.1' | head -n 1)")
  [[ -d $libdir ]] || fail "the install holds no libdorvane-http.so.1"
  pc_path=$libdir/pkgconfig
  library_path=$libdir
fi
echo "check-install: the library installed in $prefix"

# The examples, away from this tree: nothing of it can be found from there.
cp -r "$source_dir/examples" "$work/examples"
for example in fetch qt-download; do
  cmake -S "$work/examples/$example" -B "$work/build-$example" -G Ninja "${cmake_args[@]}" \
    >"$work/$example.log" 2>&1 || fail "configuring $example: $(tail -n 20 "$work/$example.log")"
  cmake --build "$work/build-$example" >>"$work/$example.log" 2>&1 \
    || fail "building $example: $(tail -n 30 "$work/$example.log")"
  echo "check-install: $example built with CMake"
done
PKG_CONFIG_PATH=$pc_path make -C "$work/examples/fetch" >"$work/make.log" 2>&1 \
  || fail "building fetch with make: $(tail -n 20 "$work/make.log")"
echo "check-install: fetch built with make and pkg-config"

# The version file: any 1.x is found, another major version is not.
mkdir "$work/version-2"
cat >"$work/version-2/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(version_2 LANGUAGES CXX)
find_package(DorvaneHttp 2.0 REQUIRED)
CMAKE
if cmake -S "$work/version-2" -B "$work/build-version-2" "${cmake_args[@]}" >"$work/version-2.log" 2>&1; then
  fail "find_package(DorvaneHttp 2.0) accepted the 1.x library"
fi
grep -q 'DorvaneHttpConfig.cmake, version: 1\.' "$work/version-2.log" \
  || fail "find_package(DorvaneHttp 2.0) failed for another reason: $(tail -n 20 "$work/version-2.log")"
echo "check-install: find_package(DorvaneHttp 2.0) refuses the 1.x library"

# A loopback server on a port of its own choosing.
mkdir "$work/site"
head -c 300000 /dev/urandom >"$work/site/body.bin"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/site" >"$work/server.log" 2>&1 &
server=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*port \([0-9][0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
  [[ -n $port ]] && break
  sleep 0.1
done
[[ -n $port ]] || fail "the loopback server did not start: $(cat "$work/server.log")"

# A peer that breaks off: /cut-short announces 100 bytes and sends 5, /mid-head stops inside the head.
python3 -u - >"$work/bad.log" 2>&1 <<'PEER' &
import socket
listener = socket.create_server(("127.0.0.1", 0))
print("port", listener.getsockname()[1], flush=True)
while True:
    connection, _ = listener.accept()
    request = connection.recv(65536)
    if b" /cut-short " in request:
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort")
    else:
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Le")
    connection.close()
PEER
bad_server=$!
bad_port=
for _ in $(seq 100); do
  bad_port=$(sed -n 's/^port \([0-9][0-9]*\)$/\1/p' "$work/bad.log" | head -n 1)
  [[ -n $bad_port ]] && break
  sleep 0.1
done
[[ -n $bad_port ]] || fail "the breaking peer did not start: $(cat "$work/bad.log")"

for program in "$work/build-fetch/fetch" "$work/examples/fetch/fetch"; do
  LD_LIBRARY_PATH=$library_path timeout 60 "$program" "http://127.0.0.1:$port/body.bin" \
    >"$work/out.bin" 2>"$work/events.log" || fail "$program failed: $(cat "$work/events.log")"
  cmp -s "$work/out.bin" "$work/site/body.bin" || fail "$program wrote another body than the server's"
  grep -q '^fetch: request complete$' "$work/events.log" || fail "$program printed no events: $(cat "$work/events.log")"
  # A server that isn't there: a failure, said as such.
  if LD_LIBRARY_PATH=$library_path timeout 60 "$program" "http://127.0.0.1:1/" >/dev/null 2>"$work/events.log"; then
    fail "$program reported success for a refused connection"
  fi
  grep -q '^fetch: error ' "$work/events.log" || fail "$program did not say why it failed: $(cat "$work/events.log")"
  # Peers that break off: each answer must end in a failure that says why, never in a body.
  for path in cut-short mid-head; do
    if LD_LIBRARY_PATH=$library_path timeout 60 "$program" "http://127.0.0.1:$bad_port/$path" >/dev/null 2>"$work/events.log"; then
      fail "$program reported success for a peer that answered $path"
    fi
    grep -q '^fetch: error ' "$work/events.log" || fail "$program did not say why $path failed: $(cat "$work/events.log")"
  done
done
echo "check-install: both fetch builds got the 300000-byte body from 127.0.0.1:$port with their events, and failed on a body cut short and a head cut short"
