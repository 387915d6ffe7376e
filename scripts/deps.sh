#!/usr/bin/env bash
# Installs, with apt-get, the Debian packages that the build needs and that
# this machine lacks. Pass extra package names to install those too.
set -euo pipefail

packages=(cmake g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev
          libsimdjson-dev nlohmann-json3-dev libcli11-dev libsqlite3-dev libcpp-httplib-dev libboost-dev
          pkgconf python3 python3-yaml abigail-tools
          chromium chromium-driver python3-selenium  # the browse page's browser test
          nginx-light  # deploy/: nginx in front of several servers
          "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
