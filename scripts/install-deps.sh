#!/bin/sh
# Installs the Debian packages that building, testing and running the demo need.
# Non-interactive; uses sudo when not run as root. Skips apt when everything is present.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libboost-dev nlohmann-json3-dev libtinyxml2-dev libcli11-dev
  libcurl4-openssl-dev libxxhash-dev
  libkrb5-dev krb5-kdc krb5-admin-server krb5-user
  clang libclang-rt-14-dev clang-format plocate attr tzdata time python3
  default-jdk-headless maven"

# The real-cluster tier fetches the libhdfs sources with cargo; a rustup installation counts.
if ! command -v cargo >/dev/null 2>&1 && [ ! -x "${HOME:-/root}/.cargo/bin/cargo" ]; then
    PACKAGES="$PACKAGES cargo"
fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing
