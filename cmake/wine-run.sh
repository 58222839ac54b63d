#!/bin/sh
# Runs a Windows program under Wine:  wine-run.sh PREFIX [PROGRAM [ARGUMENTS...]]
# The test emulator of the Windows build (cmake/mingw-i686.cmake); without a
# PROGRAM it only makes sure that the Wine session of PREFIX is up.
#
# PREFIX is created on first use (about 600 MB). The first Wine program of a
# session starts Wine's background services, which inherit its standard
# streams; if that program is a test, ctest waits on those pipes until its
# timeout. So the session is started here, by a persistent wineserver and
# wineboot with every stream on /dev/null, before any program runs.
# `WINEPREFIX=PREFIX wineserver -k` ends it.
set -e
WINEPREFIX=$(realpath -m "$1")
shift
export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all
# No debugger on a crash, no prompts to install .NET or Gecko.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
mkdir -p "$WINEPREFIX"

# A wineserver serves one prefix from a folder named after the prefix's device
# and inode; it is running when a wineserver process works in that folder.
server_running() {
    folder=$(printf 'server-%x-%x' "0x$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for process in /proc/[0-9]*; do
        case $(cat "$process/comm" 2>/dev/null) in
        wineserver*)
            case $(readlink "$process/cwd" 2>/dev/null) in
            */"$folder") return 0 ;;
            esac
            ;;
        esac
    done
    return 1
}

if ! server_running; then
    (
        flock 9
        if ! server_running; then
            wineserver -p </dev/null >/dev/null 2>&1
            if [ -f "$WINEPREFIX/.booted" ]; then
                wineboot </dev/null >/dev/null 2>&1
            else
                wineboot -i </dev/null >/dev/null 2>&1
                touch "$WINEPREFIX/.booted"
            fi
        fi
    ) 9>"$WINEPREFIX.lock"
fi

[ $# -eq 0 ] || exec wine "$@"
