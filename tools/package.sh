#!/usr/bin/env bash
# Cross-compiles the Windows images of the package into dist/ with mingw-w64, copies the
# setup information files beside them and checks every driver image.
set -eu
cd "$(dirname "$0")/.."
mkdir -p dist
cmake -S cmake/windows -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win32
for inf in RyleUsb/*.inf RylePort/*.inf RyleAt/*.inf RyleObex/*.inf; do
  [ -f "$inf" ] && cp "$inf" dist/
done
shopt -s nullglob
images=(dist/*.sys)
if [ ${#images[@]} -eq 0 ]; then
  echo "package: no Windows images are built yet"
  exit 0
fi
for sys in "${images[@]}"; do
  bash tools/check-driver-image.sh "$sys"
done
