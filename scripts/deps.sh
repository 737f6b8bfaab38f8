#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libsqlite3-dev sqlite3 libxml2-dev libicu-dev
          libboost-regex-dev nlohmann-json3-dev libgtk-3-dev libwebkit2gtk-4.1-dev xvfb xauth libxtst-dev librsvg2-common
          pkexec polkitd dbus-daemon strace libbenchmark-dev clang libclang-rt-14-dev ansible-core libsodium-dev libssl3
          openssh-server openssh-client python3 pycodestyle pylint python3-voluptuous yamllint
          fonts-noto-core fonts-noto-cjk dpkg-dev help2man lintian libxml2-utils libglib2.0-bin xdotool)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
