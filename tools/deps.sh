#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Safe to run again: it only calls apt-get when something is absent.
set -euo pipefail

packages=(
    build-essential g++ make cmake pkg-config
    libpcre3-dev libssl-dev zlib1g-dev
    googletest libgtest-dev
    python3-pytest python3-h2 openssl curl
    # make test SANITIZE=address runs the slowed-down suite on two workers
    python3-pytest-xdist
    dpkg-dev
    # the reference collector, and its console's browser test.  Boost 1.81
    # (Asio, Beast, JSON, URL) replaces Debian's default 1.74, which has no
    # JSON library; the two cannot be installed together.  nlohmann-json is
    # for the modules' fuzz targets.
    libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
    nlohmann-json3-dev libsqlite3-dev
    chromium chromium-driver python3-selenium
    # the collector's shared store for fleets, its metrics, declared APIs
    libpq-dev postgresql prometheus-cpp-dev libyaml-cpp-dev
)
if [ "${WITH_DISTRO_NGINX:-0}" = 1 ]; then
    packages+=(nginx-dev nginx-core)
fi
# make bench: load generator, chart, profiler
if [ "${WITH_BENCH:-0}" = 1 ]; then
    packages+=(wrk python3-matplotlib linux-perf)
fi
# make soak: load generator
if [ "${WITH_SOAK:-0}" = 1 ]; then
    packages+=(wrk)
fi
# make matrix: an HTTP/3 client for the releases built with HTTP/3 (the
# ngtcp2 example client; Debian 12 has no python3-aioquic)
if [ "${WITH_HTTP3:-0}" = 1 ]; then
    packages+=(ngtcp2-client)
fi
# make fuzz: libFuzzer and the sanitizers' runtimes come with Debian's clang
if [ "${WITH_FUZZ:-0}" = 1 ]; then
    packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$p")
    fi
done

# npm fetches the console's chart library; any Node.js with npm will do
command -v npm >/dev/null 2>&1 || missing+=(npm)

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"

if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
