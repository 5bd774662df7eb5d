#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# plus any package named on the command line (fuzz/run.sh adds clang).
# Idempotent: only packages that are missing are installed.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  flex bison
  libboost-dev libssl-dev
  googletest libgtest-dev
  c-icap            # c-icap-client, an independent ICAP client for tests
  squid curl        # Squid as the ICAP client in end-to-end tests, curl behind it
  procps psmisc     # ps, pkill, fuser used by integration tests
  # A real MTA for the e-mail notification test (tests/support/mta_fixture):
  # run with a configuration of its own, it delivers into a maildir in the
  # test's folder. The package's own daemon is not needed; where it starts
  # (not in containers, whose policy-rc.d refuses it) it listens on
  # 127.0.0.1:25 and uses /var/spool/exim4, neither of which tests touch.
  # It also makes /usr/sbin/sendmail exist.
  exim4-daemon-light
  # tavexd's in-process engine (--engine clamav) links libclamav; its tests
  # scan the harmless samples of clamav-testfiles and archives made with
  # zip and 7z at test time.
  libclamav-dev clamav-testfiles zip p7zip-full
  # clamd, a real engine behind tavexd (--engine clamd), and harmless samples
  # it must detect inside archives. Tests start clamd with a private
  # configuration, socket and offline database in their own folder. The
  # package's clamav-daemon and clamav-freshclam services do not start in
  # containers (policy-rc.d refuses them; without a database clamd would not
  # start anyway), and elsewhere they are stopped and disabled here so that
  # nothing is left fetching signatures from the network.
  clamav-daemon
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"

for unit in clamav-daemon clamav-freshclam; do
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now "$unit" >/dev/null 2>&1 || true
  fi
done
