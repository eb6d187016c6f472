#!/usr/bin/env bash
# Builds the Debian package of Timbrelo: a release build installed under /usr by CPack (its
# library dependencies from dpkg-shlibdeps), checked with lintian, which must report no
# error. Everything else goes to standard error; the last line of standard output is the
# package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh" >&2

build="$root/build/package"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIMBRELO_BUILD_TESTS=OFF \
    -DTIMBRELO_BUILD_BENCH=OFF -DTIMBRELO_SANITIZE= -DCMAKE_INSTALL_PREFIX=/usr >&2
cmake --build "$build" -j2 >&2
rm -f "$build"/timbrelo_*.deb
(cd "$build" && cpack -G DEB) >&2
debs=("$build"/timbrelo_*.deb)
[[ -f ${debs[0]} ]] || { echo "package.sh: cpack made no package" >&2; exit 1; }
deb=${debs[0]}
lintian --fail-on error "$deb" >&2
echo "$deb"
