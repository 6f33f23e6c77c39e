#!/usr/bin/env bash
# Installs what the host build, the demo, the tests and the lint need (Debian 12, as root
# or with sudo). Does nothing when everything is already there.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config git zlib1g-dev libssl-dev openssl
          libcli11-dev nlohmann-json3-dev
          googletest libgtest-dev libbenchmark-dev gzip valgrind clang-format clang-tidy
          clang libclang-rt-14-dev  # clang 14 and its libFuzzer runtime, for fuzz/
          mandoc man-db)            # lint and read the manual pages (man/)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
