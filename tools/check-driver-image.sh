#!/usr/bin/env bash
# Checks what Windows requires of a 32-bit driver image: PE32, native subsystem, entry
# point at DriverEntry, and imports from the kernel, the HAL and usbd only.
set -eu
img=$1
dump=$(i686-w64-mingw32-objdump -p "$img")
fail() { echo "check-driver-image: $img: $*" >&2; exit 1; }
grep -q 'Magic[[:space:]]*010b' <<<"$dump" || fail "not a PE32 image"
grep -q 'Subsystem[[:space:]]*00000001' <<<"$dump" || fail "subsystem is not native"
entry=$(awk '/AddressOfEntryPoint/ {print $2}' <<<"$dump")
base=$(awk '/^ImageBase/ {print $2}' <<<"$dump")
sym=$(i686-w64-mingw32-nm "$img" | awk '$3 == "_DriverEntry@8" {print $1}')
[ -n "$sym" ] || fail "no DriverEntry symbol"
[ $((16#$sym - 16#$base)) -eq $((16#$entry)) ] || fail "entry point is not DriverEntry"
while read -r dll; do
  case "${dll,,}" in
    ntoskrnl.exe|hal.dll|usbd.sys) ;;
    *) fail "imports from $dll" ;;
  esac
done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
echo "check-driver-image: $img: PE32, native, entry DriverEntry, imports $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$dump")"
