#!/usr/bin/env bash
# Builds the Windows driver build-win/KVT5100.exe and build-win/kvtfleet.exe
# (MinGW-w64, statically linked) and their package, then runs the tests under Wine: the unit tests
# cross-built, and the end-to-end tests of build/ against the Windows program,
# with the simulated ECR on ptys that Wine sees as COM ports.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing+=(mingw-w64)
command -v wine >/dev/null 2>&1 || missing+=(wine)
[ -e /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -e /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
scripts/apt-install.sh "${missing[@]}"

# The Linux side: the simulated ECR and the end-to-end tests.
scripts/ensure-tools.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-win -j2
(cd build-win && cpack >/dev/null && ls KVT5100-*-win64.zip)

# The programs must run with no DLL beside them: only system DLLs are imported.
for program in KVT5100.exe kvtfleet.exe; do
    imports=$(x86_64-w64-mingw32-objdump -p "build-win/$program" | sed -n 's/^\s*DLL Name: //p')
    for dll in $imports; do
        case "${dll,,}" in
            kernel32.dll | msvcrt.dll | ws2_32.dll | advapi32.dll | user32.dll) ;;
            *) echo "$program imports $dll, which Windows does not ship" >&2; exit 1 ;;
        esac
    done
done

# Wine in a prefix of its own, without a display; its chatter goes to a file.
export WINEPREFIX=$root/build-win/wine WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
wine_log=$root/build-win/wine.log
: >"$wine_log"
trap 'wineserver -k 2>/dev/null || true' EXIT
[ -e "$WINEPREFIX/system.reg" ] || wineboot -i >>"$wine_log" 2>&1

# COM ports for the end-to-end tests: COM9 to COM16 are links that each test
# points at its simulator's pty (tests in parallel use both name forms,
# COM9 and \\.\COM10 up). Wine reads the port table only when its
# server starts, so the ports are registered first, then one server runs for
# the whole suite.
ports=$root/build-win/ports
rm -rf "$ports"
mkdir -p "$ports"
for n in $(seq 9 16); do
    ln -s /dev/null "$ports/COM$n"
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$ports/COM$n" /f >>"$wine_log" 2>&1
done
wineserver -k 2>/dev/null || true
wineserver -w
# Its own process group, so the server never takes a test's pty as its
# controlling terminal, and stops with the script's trap, not a test's signal.
(set -m; wineserver -p -f >>"$wine_log" 2>&1 &)

wine build-win/unit_tests.exe 2>>"$wine_log"

# Wine has mapped the machine's own serial ports too (COM1 to /dev/ttyS0) now
# that it runs; no test may reach them, so only the test ports stay.
for link in "$WINEPREFIX"/dosdevices/com*; do
    case "$(readlink "$link")" in
        "$ports"/*) ;;
        *) rm -f "$link" ;;
    esac
done

KVT_TEST_DRIVER=$root/build-win/KVT5100.exe KVT_TEST_FLEET=$root/build-win/kvtfleet.exe KVT_TEST_LAUNCHER=wine KVT_TEST_LAUNCHER_LOG=$wine_log \
    KVT_TEST_COM_PORTS=$ports ctest --test-dir build -L e2e --output-on-failure -j2
