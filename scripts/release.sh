#!/bin/bash
# Builds the static release binaries and packs them: dist/vantrell-VERSION-linux-ARCH.tar.gz for each
# Linux architecture and dist/vantrell-VERSION-windows-x64.zip, each with vantrell and vantrell-batch,
# their manual pages (Linux), the README and its pages in doc/, LICENSE and the licence texts of what is
# linked in, plus dist/SHA256SUMS over every archive of this version in dist/.
# Usage: scripts/release.sh [amd64|armhf|arm64|windows-x64...]   (default: all of them)
# Reproducible: the same commit gives the same archives (SOURCE_DATE_EPOCH defaults to the last commit's
# time; names sorted, owners and dates fixed). A lean FFmpeg already built in build-lean/ is reused.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
[ $# -gt 0 ] || set -- amd64 armhf arm64 windows-x64
version=$(sed -n 's/^project(vantrell VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
scripts/install-deps.sh build python3 python3-mutagen
mkdir -p dist

documents() {  # the README's own pages and chart, where its links find them
  mkdir -p "$1/doc" && cp doc/*.md doc/whole-library.svg "$1/doc/"
}

licences() {  # stage folder, then the licence files: each is "name-in-archive:path"
  local stage=$1; shift
  mkdir -p "$stage/licenses"
  for entry in "$@"; do cp "${entry#*:}" "$stage/licenses/${entry%%:*}"; done
}

for arch in "$@"; do
  case "$arch" in
  amd64) toolchain=() ;;
  armhf | arm64) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/$arch.cmake") ;;
  windows-x64) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw64.cmake") ;;
  *) echo "release: unknown architecture $arch (amd64, armhf, arm64 or windows-x64)" >&2; exit 2 ;;
  esac
  ffmpeg=$top/build-lean/ffmpeg-$arch
  [ -f "$ffmpeg/lib/libtag.a" ] || scripts/lean-ffmpeg.sh "$arch"
  source_dir=$(ls -d build-lean/source/ffmpeg-*/ | head -1)
  taglib_source=$(ls -d build-lean/source/taglib-*/ | head -1)

  build=build-release/$arch
  rm -rf "$build"
  cmake -S . -B "$build" "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DVANTRELL_WERROR=ON \
    -DVANTRELL_FFMPEG_PREFIX="$ffmpeg" -DCMAKE_EXE_LINKER_FLAGS=-s >/dev/null
  cmake --build "$build" --parallel --target vantrell vantrell-batch docs >/dev/null

  if [ "$arch" = windows-x64 ]; then
    name=vantrell-$version-windows-x64
    stage=build-release/stage/$name
    rm -rf "$stage" && mkdir -p "$stage"
    cp "$build/vantrell.exe" "$build/vantrell-batch.exe" README.md LICENSE "$stage/"
    documents "$stage"
    licences "$stage" "FFmpeg-LGPL-2.1.txt:$source_dir/COPYING.LGPLv2.1" "TagLib-LGPL-2.1.txt:$taglib_source/COPYING.LGPL" \
      "zlib.txt:/usr/share/doc/libz-mingw-w64-dev/copyright"
    /usr/bin/python3 - "$stage" "dist/$name.zip" <<'PY'
import os, sys, time, zipfile
stage, archive = sys.argv[1], sys.argv[2]
stamp = time.gmtime(max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800))[:6]  # zip dates start in 1980
top = os.path.dirname(stage)
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as out:
    for folder, dirs, files in sorted(os.walk(stage)):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            entry = zipfile.ZipInfo(os.path.relpath(path, top), stamp)
            entry.external_attr, entry.compress_type, entry.create_system = 0o644 << 16, zipfile.ZIP_DEFLATED, 3
            with open(path, "rb") as f:
                out.writestr(entry, f.read(), compresslevel=9)
PY
  else
    name=vantrell-$version-linux-$arch
    stage=build-release/stage/$name
    rm -rf "$stage" && mkdir -p "$stage"
    cp "$build/vantrell" "$build/vantrell-batch" "$build/doc/vantrell.1" "$build/doc/vantrell-batch.1" README.md LICENSE \
      "$stage/"
    documents "$stage"
    licences "$stage" "FFmpeg-LGPL-3.txt:$source_dir/COPYING.LGPLv3" "TagLib-LGPL-2.1.txt:$taglib_source/COPYING.LGPL" \
      "mbedTLS-Apache-2.0.txt:/usr/share/common-licenses/Apache-2.0" "zlib.txt:/usr/share/doc/zlib1g/copyright"
    tar -C build-release/stage --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
      --mode=u+rw,go+r,go-w --format=gnu -cf - "$name" | gzip -9n >"dist/$name.tar.gz"
  fi
  echo "release: dist/$(basename dist/"$name".*) ($(stat -c %s dist/"$name".*) bytes)"
done
shopt -s nullglob
(cd dist && archives=(vantrell-"$version"-*.tar.gz vantrell-"$version"-*.zip) && sha256sum "${archives[@]}" >SHA256SUMS)
cat dist/SHA256SUMS
