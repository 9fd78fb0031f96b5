#!/bin/bash
# Installs the Debian packages needed to build, test, demo and benchmark the
# bridges.
# Idempotent: packages already present are skipped; nothing is installed when
# everything is there. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  # building
  g++ cmake make pkg-config libasound2-dev libjack-jackd2-dev libgtest-dev
  # packaging, and its checks: Debian's checker, systemd's unit checker
  dpkg-dev file man-db lintian systemd
  # checks: valgrind, gdb (backtraces of a hung bridge), and clang with
  # libFuzzer and the sanitizer runtimes
  valgrind gdb clang libclang-rt-14-dev
  # the sequencer VM
  qemu-system-x86 busybox-static cpio
  # peers, and PipeWire's JACK, which the end-to-end tests run on too
  jackd2 alsa-utils pipewire-bin pipewire-jack libspa-0.2-modules
  # benchmarks: Google Benchmark, and gnuplot for the latency plot
  libbenchmark-dev gnuplot-nox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# The VM fetches Debian's kernel package by name, so the package lists must be
# there even when nothing is missing.
need_update=0
[ ${#missing[@]} -gt 0 ] && need_update=1
apt-cache show linux-image-amd64 >/dev/null 2>&1 || need_update=1

if [ "$need_update" -eq 1 ]; then
  "${sudo[@]}" apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
