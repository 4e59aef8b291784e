#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need, only when missing.
# Usage: scripts/install-deps.sh [build|test|bench|run|node]...
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcrypt-dev
            libboost-dev libicu-dev libxxhash-dev libssl-dev openssl libcurl4-openssl-dev
            libzip-dev
            binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 osslsigncode)
test_pkgs=(clang libclang-rt-14-dev lighttpd curl chromium libcgicc-dev time libdigest-md2-perl
           fonts-ipafont-gothic squid zip unzip)
# The test executables are built from resource scripts by the MinGW binutils and signed by
# osslsigncode. The digest tests compare MD2 with Perl's Digest::MD2 (OpenSSL has none).
# The HTTP loader's tests go through squid (with its own configuration, never the system's
# service) for proxy authentication.
# The zip utility's packages are checked by an independent reader (unzip) and timed against zip.
# The browser tests take screenshots of the Japanese pages with a Japanese font.
# The form-variable benchmark measures against GNU cgicc (it is left out when cgicc is missing)
# and a page's peak memory through /usr/bin/time.
bench_pkgs=(libcgicc-dev time wrk lighttpd curl)
run_pkgs=(lighttpd)
node_pkgs=(nodejs npm)

want=("${build_pkgs[@]}")
for what in "$@"; do
    case "$what" in
        build) ;;
        test) want+=("${test_pkgs[@]}") ;;
        bench) want+=("${bench_pkgs[@]}") ;;
        run) want+=("${run_pkgs[@]}") ;;
        node) want+=("${node_pkgs[@]}") ;;
        *) echo "install-deps: unknown set '$what'" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in "${want[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
