#!/bin/bash
# The wire fuzzers' long pass against a sanitized build of the service:
# configures and builds build-asan (VX_SANITIZE) when it is missing, then
# runs each protocol for the given seconds (default 600) from the given seed.
#   tests/fuzz/run_long.sh [seconds] [seed] [more wirefuzz.py options]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-600}
seed=${2:-1}
shift $(( $# > 2 ? 2 : $# ))
cd "$root"
if [ ! -x build-asan/bin/VxMailServers ]; then
  cmake -S . -B build-asan -G Ninja -DVX_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build-asan -j"${VX_JOBS:-6}" --target VxMailServers
cmake --build build -j"${VX_JOBS:-6}" --target vxsc
exec /usr/bin/python3 tests/fuzz/wirefuzz.py --binary build-asan/bin/VxMailServers --tools build/bin \
  --seconds "$seconds" --seed "$seed" "$@"
