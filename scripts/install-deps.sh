#!/bin/sh
# Installs the Debian/Ubuntu packages that a task needs, only when some are missing.
# Usage: scripts/install-deps.sh build|test|PACKAGE...
#        scripts/install-deps.sh update   refreshes the package lists (as the other scripts do)
set -eu

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# A mirror in the middle of a sync serves an index that does not match its Release file for a while, and
# apt-get update then fails as a whole although every other list is fresh: try again, then go on with the
# lists as they are; an install that truly lacks a package still fails.
update() {
  for attempt in 1 2 3; do
    $sudo apt-get update -q && return 0
    echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -eq 3 ] || sleep 20
  done
  echo "install-deps: going on with the package lists as they are" >&2
}

# TagLib's headers: libtag-dev since TagLib 2 (trixie), libtag1-dev before it.
taglib=libtag1-dev
apt-cache show libtag-dev >/dev/null 2>&1 && taglib=libtag-dev
build="build-essential cmake pkg-config libavformat-dev libavcodec-dev libavutil-dev $taglib libseccomp-dev"
case "${1:-build}" in
update) update; exit 0 ;;
build) packages=$build ;;
test) packages="$build ffmpeg python3 python3-mutagen valgrind e2fsprogs groff-base dpkg-dev file openssl parallel" ;;
*) packages="$*" ;;
esac

missing=""
for package in $packages; do
  # With multiarch a name can stand for several architectures, one status line each.
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
update
# shellcheck disable=SC2086  # one word per package
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
