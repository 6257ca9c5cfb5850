#!/usr/bin/env bash
# Checks the Debian packages in DIR (made by ./build.sh package): what each
# holds, the udev rule against the build's (which the unit tests hold against
# the library's vendor table), and a consumer built against the -dev
# package's files unpacked into a scratch root.
set -euo pipefail
dir=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
failed=0

holds() {  # holds PACKAGE PATH...: the package's file list has every PATH
  local deb files
  deb=$(ls "$dir/$1"_*.deb)
  files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
  shift
  for path in "$@"; do
    if ! grep -qxF "$path" <<<"$files"; then
      echo "missing in $(basename "$deb"): $path" >&2
      failed=1
    fi
  done
}

# /etc/brova/calibration: the system's calibration files, where the tools
# look a sensor's file up (a directory: listed with its slash).
holds libbrv1 "/usr/lib/$ma/libBRV.so.1" "/usr/lib/$ma/libBRV.so.$version" /lib/udev/rules.d/70-brova.rules \
  /usr/share/metainfo/org.libbrv.libbrv1.metainfo.xml /etc/brova/calibration/
holds libbrv-dev "/usr/lib/$ma/libBRV.so" /usr/include/BRV/brovadaq.h /usr/include/BRV/brovaports.h \
  /usr/include/BRV/cs_export.h "/usr/lib/$ma/cmake/BRV/BRVConfig.cmake" "/usr/lib/$ma/cmake/BRV/BRVTargets.cmake" \
  "/usr/lib/$ma/pkgconfig/brv.pc" /usr/share/doc/libbrv-dev/examples/README.md \
  /usr/share/doc/libbrv-dev/examples/CMakeLists.txt /usr/share/doc/libbrv-dev/examples/c/read_loop.c
# The API reference: the main page, the flat interface's page, a class's, and
# its doc-base registration.
holds libbrv-doc /usr/share/doc/libbrv-doc/html/index.html /usr/share/doc/libbrv-doc/html/cs__export_8h.html \
  /usr/share/doc/libbrv-doc/html/classBrovaDAQ.html /usr/share/doc-base/libbrv-doc.libbrv
holds brova-tools /usr/bin/brova /usr/bin/brova-scope /usr/bin/brova-sim /usr/share/man/man1/brova.1.gz
holds python3-brv /usr/lib/python3/dist-packages/brv/__init__.py /usr/lib/python3/dist-packages/brv/arrays.py
holds brova-dds /usr/bin/brova-publish /usr/bin/brova-listen

# The others depend on the runtime package.
for p in libbrv-dev brova-tools brova-dds python3-brv; do
  if ! dpkg-deb -f "$(ls "$dir/$p"_*.deb)" Depends | grep -q 'libbrv1'; then
    echo "$p does not depend on libbrv1" >&2
    failed=1
  fi
done

# The DDS runtime comes with brova-dds alone.
if ! dpkg-deb -f "$(ls "$dir"/brova-dds_*.deb)" Depends | grep -q 'libddsc'; then
  echo "brova-dds does not depend on Cyclone DDS's runtime (libddsc)" >&2
  failed=1
fi
if dpkg-deb -f "$(ls "$dir"/brova-tools_*.deb)" Depends | grep -q 'libddsc'; then
  echo "brova-tools depends on Cyclone DDS's runtime; only brova-dds should" >&2
  failed=1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for p in libbrv1 libbrv-dev; do
  dpkg-deb -x "$(ls "$dir/$p"_*.deb)" "$work/root"
done
# The runtime package is named by the SONAME of the library it holds.
if [ "$(objdump -p "$work/root/usr/lib/$ma/libBRV.so.1" | awk '/SONAME/ {print $2}')" != libBRV.so.1 ]; then
  echo "the packaged library's SONAME is not libBRV.so.1, the runtime package's name" >&2
  failed=1
fi
if ! cmp -s "$work/root/lib/udev/rules.d/70-brova.rules" "$root/build/tools/70-brova.rules"; then
  echo "the packaged udev rule differs from the one generated from the vendor table" >&2
  failed=1
fi
cmake -DPREFIX="$work/root/usr" -DCONSUMER_DIR="$root/tests/consumer" -DWORK_DIR="$work/consumer" \
  -DCXX="$(command -v g++)" -P "$root/tests/consumer/run_consumer.cmake"

[ "$failed" -eq 0 ] && echo "packages checked: file lists (with the calibration directory, the examples and the API reference), dependencies (the DDS runtime in brova-dds only), udev rule, consumer of libbrv-dev"
exit "$failed"
