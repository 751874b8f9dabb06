#!/usr/bin/env bash
# install_test.sh BUILD_DIR SOURCE_DIR - installs into a scratch prefix and
# builds a small outside consumer of the library twice: through pkg-config
# and through find_package. Also checks the Debian package's file list.
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/client bin/stream_server bin/stream_gateway bin/throttlecat bin/stream_sender \
         include/mytbf.h share/man/man1/client.1 share/man/man1/stream_server.1 \
         share/man/man1/stream_gateway.1 share/man/man1/throttlecat.1 \
         share/man/man1/stream_sender.1 share/man/man3/mytbf.3 \
         share/doc/mcast-tools/examples/stream_server.service \
         share/doc/mcast-tools/examples/stream_gateway.service; do
  [[ -e $prefix/$f ]] || { echo "not installed: $f"; exit 1; }
done
pcdir=$(dirname "$(find "$prefix" -name mytbf.pc)")
[[ -n $pcdir ]] || { echo "no mytbf.pc installed"; exit 1; }

echo "-- pkg-config consumer"
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs mytbf)
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" "$src/tests/consumer/consumer.c" $flags
"$work/consumer-pc"

echo "-- find_package consumer"
cmake -S "$src/tests/consumer" -B "$work/cb" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cb" >/dev/null
"$work/cb/consumer"

echo "-- Debian package"
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | sort > "$work/files"
for f in /usr/bin/client /usr/bin/stream_server /usr/bin/throttlecat /usr/bin/stream_sender \
         /usr/include/mytbf.h /usr/share/man/man1/client.1 /usr/share/man/man1/stream_server.1 \
         /usr/share/man/man3/mytbf.3 /usr/share/doc/mcast-tools/examples/stream_server.service; do
  grep -qx "$f" "$work/files" || { echo "not in the package: $f"; cat "$work/files"; exit 1; }
done
grep -q '/mytbf.pc$' "$work/files" || { echo "no mytbf.pc in the package"; exit 1; }
grep -q '/cmake/mytbf/mytbfConfig.cmake$' "$work/files" || { echo "no CMake package in the package"; exit 1; }
dpkg-deb -f "$deb" Package Depends Recommends
echo "install test passed"
