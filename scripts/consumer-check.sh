#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds a consumer page against it, once through
# pkg-config and once through the CMake package; runs both; checks that the shared library
# exports the API and nothing of the platform layer.
# Usage: scripts/consumer-check.sh BUILD_DIR
set -euo pipefail
build=${1:?build directory}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig:$prefix/lib/x86_64-linux-gnu/pkgconfig"

# shellcheck disable=SC2046
c++ -o "$work/page_pc" "$root/tests/consumer/page.cpp" $(pkg-config --cflags --libs cgishare)
cmake -S "$root/tests/consumer" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null

mkdir -p "$work/home" "$work/etc" "$work/run"
printf '[INI_SERVER_SECTION]\r\nMaster_URL = /console/\r\n' >"$work/home/nvlscan.ini"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\HaldenLabs\\Norvel\\service\\Information]\r\n"Local_Path"="%s/home"\r\n' \
    "$work" >"$work/etc/registry.reg"
export NVL_REGISTRY="$work/etc/registry.reg" NVL_RUNTIME_DIR="$work/run"
for page in "$work/page_pc" "$work/cmake/page_cmake"; do
    got=$("$page")
    if [[ "$got" != "Master_URL=/console/" ]]; then
        echo "consumer-check: $(basename "$page") printed '$got'" >&2
        exit 1
    fi
done

lib=$(find "$prefix" -name 'libcgishare.so.*.*' | head -n 1)
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[[ "$soname" == libcgishare.so.* ]] || { echo "consumer-check: no SONAME" >&2; exit 1; }
leaked=$(nm -D -C --defined-only "$lib" | grep -E ' nvl::' || true)
if [[ -n "$leaked" ]]; then
    echo "consumer-check: internal symbols exported:" >&2
    echo "$leaked" | head -n 20 >&2
    exit 1
fi
echo "consumer-check: $soname exports the API only"
echo "consumer-check: 2 passed, 0 failed"
