#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR - installs into a scratch prefix and
# builds a small outside consumer of the library twice: through pkg-config
# and through find_package. Then builds the Debian packages and checks each
# one's files and fields, that its programs are stripped and its pages
# gzipped, and has lintian find no error in it (lintian must be installed
# under CI=true). The systemd units must name the programs where they are
# installed, and pkg-config plain paths.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "$*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/mcast-client bin/stream_server bin/stream_gateway bin/mcast-throttlecat \
         bin/stream_sender bin/stream_player include/mytbf.h \
         share/man/man1/mcast-client.1.gz share/man/man1/stream_server.1.gz \
         share/man/man1/stream_gateway.1.gz share/man/man1/stream_player.1.gz \
         share/man/man1/mcast-throttlecat.1.gz share/man/man1/stream_sender.1.gz \
         share/man/man3/mytbf.3.gz lib/systemd/system/stream_server.service \
         lib/systemd/system/stream_gateway.service lib/systemd/system/stream_player.service \
         lib/systemd/user/stream_player.service etc/default/stream_server \
         etc/default/stream_gateway etc/default/stream_player; do
  [[ -e $prefix/$f ]] || fail "not installed: $f"
done
for unit in system/stream_server system/stream_gateway system/stream_player user/stream_player; do
  p=${unit#*/}
  grep -q "^ExecStart=$prefix/bin/$p " "$prefix/lib/systemd/$unit.service" ||
    fail "$unit.service does not start $prefix/bin/$p"
done
for f in bin/client bin/throttlecat; do
  [[ ! -e $prefix/$f ]] || fail "installed under its short name: $f"
done
pcdir=$(dirname "$(find "$prefix" -name mytbf.pc)")
[[ -n $pcdir ]] || fail "no mytbf.pc installed"

echo "-- pkg-config consumer"
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs mytbf)
[[ $(echo $flags) == "-I$prefix/include -L$prefix/lib -lmytbf -pthread" ]] || fail "pkg-config says: $flags"
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" "$src/tests/consumer/consumer.c" $flags
"$work/consumer-pc"

echo "-- find_package consumer"
cmake -S "$src/tests/consumer" -B "$work/cb" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cb" >/dev/null
"$work/cb/consumer"

echo "-- Debian packages"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
if ! command -v lintian >/dev/null; then
  [[ ${CI:-} != true ]] || fail "lintian is not installed (tools/ensure-deps check installs it)"
  echo "lintian is not installed: packages not linted"
fi

# What each package holds, one path a line; the copyright file and the
# changelog under the package's doc folder are checked for every package.
declare -A holds=(
  [mcast-tools]="/usr/bin/mcast-client /usr/bin/stream_server /usr/bin/stream_gateway
    /usr/bin/mcast-throttlecat
    /usr/share/man/man1/mcast-client.1.gz /usr/share/man/man1/stream_server.1.gz
    /usr/share/man/man1/stream_gateway.1.gz
    /usr/share/man/man1/mcast-throttlecat.1.gz /usr/share/doc/mcast-tools/README.md
    /usr/lib/systemd/system/stream_server.service /usr/lib/systemd/system/stream_gateway.service
    /etc/default/stream_server /etc/default/stream_gateway"
  [mcast-player]="/usr/bin/stream_player /usr/share/man/man1/stream_player.1.gz
    /usr/lib/systemd/system/stream_player.service /usr/lib/systemd/user/stream_player.service
    /etc/default/stream_player"
  [mcast-stream-sender]="/usr/bin/stream_sender /usr/share/man/man1/stream_sender.1.gz"
  [libmytbf-dev]="/usr/include/mytbf.h /usr/share/man/man3/mytbf.3.gz"
)
for pkg in "${!holds[@]}"; do
  deb=$(ls "$work"/pkg/"${pkg}"_*.deb) || fail "no package $pkg: $(ls "$work/pkg")"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./|/|' | sort > "$work/$pkg.files"
  for f in ${holds[$pkg]} /usr/share/doc/$pkg/copyright /usr/share/doc/$pkg/changelog.gz; do
    grep -qx "$f" "$work/$pkg.files" || { cat "$work/$pkg.files"; fail "not in $pkg: $f"; }
  done
  # Pages only gzipped, and the programs stripped of symbols and debug data.
  ! grep -E '^/usr/share/man/.*[0-9]$' "$work/$pkg.files" || fail "$pkg: a man page not gzipped"
  dpkg-deb -x "$deb" "$work/root-$pkg"
  for f in $(grep '^/usr/bin/' "$work/$pkg.files" || true); do
    ! readelf -S "$work/root-$pkg$f" | grep -qE '\.symtab|\.debug_' || fail "$pkg: $f is not stripped"
  done
  dpkg-deb -f "$deb" Maintainer | grep -q '^mcast-tools developers <[^@ ]*@[^@ ]*>$' ||
    fail "$pkg: the maintainer is $(dpkg-deb -f "$deb" Maintainer)"
  [[ $(dpkg-deb -f "$deb" Package) == "$pkg" ]] || fail "$deb: the Package field is not $pkg"
  dpkg-deb -f "$deb" Package Depends Recommends
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" || fail "lintian found errors in $pkg"
  fi
done
# A listener's host gets no development files and no test tool.
grep -vE '^/usr/lib/systemd/system/[a-z_]+\.service$' "$work/mcast-tools.files" |
  grep -qE '^/usr/(include|lib)/|stream_sender|stream_player' && fail "mcast-tools holds more than the programs"
# Its description names every program it holds; its /etc files are conffiles.
# (Read once: grep -q leaving a pipe early would fail the pipe.)
description=$(dpkg-deb -f "$work"/pkg/mcast-tools_*.deb Description)
for p in mcast-client stream_server stream_gateway mcast-throttlecat; do
  grep -qw "$p" <<<"$description" || fail "mcast-tools: $p not described"
done
[[ $(dpkg-deb -I "$work"/pkg/mcast-tools_*.deb conffiles | sort) == $'/etc/default/stream_gateway\n/etc/default/stream_server' ]] ||
  fail "mcast-tools: the conffiles are not its /etc/default files"
[[ $(dpkg-deb -I "$work"/pkg/mcast-player_*.deb conffiles) == /etc/default/stream_player ]] ||
  fail "mcast-player: the conffile is not /etc/default/stream_player"
grep -qx 'prefix=/usr' "$work/root-libmytbf-dev/usr/lib/pkgconfig/mytbf.pc" || fail "mytbf.pc: prefix is not /usr"
grep -q '/mytbf.pc$' "$work/libmytbf-dev.files" || fail "no mytbf.pc in libmytbf-dev"
grep -q '/libmytbf.a$' "$work/libmytbf-dev.files" || fail "no libmytbf.a in libmytbf-dev"
grep -q '/cmake/mytbf/mytbfConfig.cmake$' "$work/libmytbf-dev.files" || fail "no CMake package in libmytbf-dev"
[[ $(ls "$work"/pkg/*.deb | wc -l) == 4 ]] || fail "not four packages: $(ls "$work/pkg")"
echo "install test passed"
