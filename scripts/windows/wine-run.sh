#!/bin/sh
# Runs a Windows program of the build under Wine: wine-run.sh PREFIX PROGRAM [ARGUMENTS...].
# PREFIX holds the dependencies built for Windows; their DLLs and the compiler's runtime are
# found through WINEPATH. Wine keeps its own settings under ~/.cache, away from the user's.
prefix="$1"
shift
: "${WINEPREFIX:=$HOME/.cache/orvandel-windows/wine}"
: "${WINEDEBUG:=-all}"
# No Mono or Gecko installers: nothing here needs .NET or a browser engine.
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
gcc_runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
WINEPATH="$(windows_path "$prefix/bin");$(windows_path "$gcc_runtime");$(windows_path /usr/x86_64-w64-mingw32/lib)"
export WINEPATH
exec wine "$@"
