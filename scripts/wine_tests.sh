#!/usr/bin/env bash
# The Windows builds: cross-builds x86-64 (preset win64) and runs all its tests under wine64, with
# zekvm.exe compared against the Linux zekvm of build/plain (built here if missing); links
# the x86 build (preset win32) and checks that its programs are x86 programs; builds both
# configures with the toolchain file alone. Ends with ctest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${ZEK_JOBS:-$(nproc)}
wine_dir=/usr/lib/wine

# The Linux programs the Windows ones are compared with.
[ -f build/plain/build.ninja ] || cmake --preset plain > /dev/null
ninja -C build/plain -j "$jobs" zekvm zekbin_dump

cmake --preset win32 > /dev/null
ninja -C build/win32 -j "$jobs"
for exe in build/win32/runner/zekvm.exe build/win32/runner/zekbin_dump.exe; do
  i686-w64-mingw32-objdump -f "$exe" | grep -q 'file format pei-i386' || { echo "$exe is no x86 program"; exit 1; }
done
# Every object of the VM libraries, not only what zekvm pulls in, links for x86.
for lib in zek_vmlib zek_vmlib_hil; do
  i686-w64-mingw32-g++-posix -shared -static -o "build/win32/${lib}_whole.dll" \
    -Wl,--whole-archive "build/win32/vm/lib$lib.a" -Wl,--no-whole-archive build/win32/platform/libzek_platform.a
done
# The x86 DLLs export exactly their lists, under the names the x86 callers link.
check_exports() {
  cmake -DFILE="$1" -DLIST="$2" -DWINDOWS=1 -DOBJDUMP=i686-w64-mingw32-objdump -P cmake/check_exports.cmake
}
check_exports build/win32/vmapi/zekvmapi.dll vmapi/zekvmapi64.exports
check_exports build/win32/sfun/zek_sfun_lib32.dll sfun/zek_sfun_lib64.exports
check_exports build/win32/sfun/zek_sfun_lcc32.dll sfun/zek_sfun_lib64.exports
check_exports build/win32/sfun_hil/zek_sfun_hil_lcc32.dll sfun_hil/zek_sfun_hil.exports
check_exports build/win32/platform/libmex.dll platform/libmex.exports
check_exports build/win32/platform/libmx.dll platform/libmx.exports
echo "x86 build linked: zekvm.exe, zekbin_dump.exe, the whole VM libraries and the DLLs"
# A configure with the toolchain file alone builds as well; with no emulator for x86 programs
# the build files leave the tests out.
cmake -G Ninja -B build/wintc32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake > /dev/null
ninja -C build/wintc32 -j "$jobs"

cmake --preset win64 > /dev/null
ninja -C build/win64 -j "$jobs" zekvm

# The tests' wine prefix is made once per build folder; one wine server serves the whole run.
export WINEPREFIX="$PWD/build/win64/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A boot that fails part way leaves a prefix without its system DLLs that wine takes for
# complete; such a prefix is made again from nothing, up to three times.
for attempt in 1 2 3; do
  [ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] && [ -f "$WINEPREFIX/system.reg" ] && break
  [ "$attempt" -eq 1 ] || { "$wine_dir/wineserver" -k 2> /dev/null || true; rm -rf "$WINEPREFIX"; }
  "$wine_dir/wine64" wineboot --init > /dev/null 2>&1 || echo "wineboot failed (attempt $attempt)"
  booted=1
done
[ -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] || { echo "no wine prefix could be made"; exit 1; }
# The server of the boot ends by itself once the boot's processes are gone; it is waited for, so
# that the server below is one that stays. (A server that goes idle ends, and the next test starts
# a new one together with wine's services, which take that test's output with them and keep it
# open, so that ctest waits for the test until its time runs out.)
[ -z "${booted:-}" ] || "$wine_dir/wineserver" -w
# A server that runs already (of an earlier run that was cut short) is used as it is.
if "$wine_dir/wineserver" -p 2> /dev/null; then
  trap '"$wine_dir/wineserver" -k 2> /dev/null || true' EXIT
fi
# The first program of a fresh server also starts wine's own services, which takes seconds;
# after it every start is quick, as the tests' discovery under ctest needs.
"$wine_dir/wine64" build/win64/runner/zekvm.exe > /dev/null 2>&1 || true
# The rest of the build runs the test programs' generators under wine too.
ninja -C build/win64 -j "$jobs"
# A configure with the toolchain file alone (no build type, the benchmarks on) builds too. It
# differs from the preset in the benchmarks only, so only they are built there (in the wine
# prefix of the tests, whose server this script ends).
cmake -G Ninja -B build/wintc -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DZEK_WINEPREFIX="$WINEPREFIX" > /dev/null
ninja -C build/wintc -j "$jobs" bench/all
ctest --test-dir build/win64 --output-on-failure -j "$jobs" --timeout 120
