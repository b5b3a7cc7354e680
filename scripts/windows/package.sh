#!/usr/bin/env bash
# Builds the Windows package from the Windows build (build-windows/ or $WINDOWS_BUILD_DIR,
# made or brought up to date by build.sh): a zip with the two programs, stripped, the Qt and
# runtime DLLs they load, the platform plugin and the side files, and an installer made by
# NSIS. Prints the paths of both last.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${WINDOWS_BUILD_DIR:-$root/build-windows}"
prefix="$(WINDOWS_BUILD_DIR="$build" "$root/scripts/windows/build.sh" | tail -n 1)"
version="$(sed -n 's/^project(Orvandel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
name="orvandel-$version-windows-x64"
stage="$build/$name"
rm -rf "$stage" "$build/$name.zip" "$build/$name-setup.exe"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/Splash"

strip=x86_64-w64-mingw32-strip
cp "$build/orvandel.exe" "$build/orvandel-cli.exe" "$stage/"
cp "$root/assets/HAND-M.CUR" "$stage/"
cp "$root/assets/Splash/orvandel.png" "$stage/Splash/"
cp "$prefix/bin/Qt6Core.dll" "$prefix/bin/Qt6Gui.dll" "$prefix/bin/Qt6Widgets.dll" "$stage/"
cp "$prefix/plugins/platforms/qwindows.dll" "$stage/platforms/"
[ -f "$prefix/plugins/styles/qwindowsvistastyle.dll" ] &&
  cp "$prefix/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
rmdir "$stage/styles" 2>/dev/null || true
cp "$prefix/bin/"libzip*.dll "$stage/"
gcc_runtime="$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")"
cp "$gcc_runtime/libstdc++-6.dll" "$gcc_runtime/libgcc_s_seh-1.dll" \
  /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll /usr/x86_64-w64-mingw32/lib/zlib1.dll "$stage/"
find "$stage" -name '*.exe' -o -name '*.dll' | xargs "$strip" --strip-unneeded
cp "$root/packaging/copyright" "$stage/COPYRIGHT.txt"
cp "$root/README.md" "$stage/README.md"

# Every DLL a program or plugin names must be in the package or be part of Windows.
missing=""
for binary in $(find "$stage" -name '*.exe' -o -name '*.dll'); do
  for dll in $(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\tDLL Name: //p'); do
    [ -f "$stage/$dll" ] && continue
    case "${dll,,}" in
      kernel32.dll | user32.dll | gdi32.dll | shell32.dll | ole32.dll | oleaut32.dll | \
      advapi32.dll | comdlg32.dll | imm32.dll | winmm.dll | ws2_32.dll | uxtheme.dll | \
      dwmapi.dll | shlwapi.dll | version.dll | netapi32.dll | userenv.dll | mpr.dll | \
      msvcrt.dll | setupapi.dll | wtsapi32.dll | d3d9.dll | dwrite.dll | d2d1.dll | \
      authz.dll | bcrypt.dll | d3d11.dll | dxgi.dll | shcore.dll | api-ms-win-*) ;;
      *) missing+=" $(basename "$binary"):$dll" ;;
    esac
  done
done
[ -z "$missing" ] || { echo "windows package: DLLs missing:$missing" >&2; exit 1; }

(cd "$build" && zip -qr9 "$name.zip" "$name")
makensis -V2 -DVERSION="$version" -DSOURCE="$stage" -DOUTFILE="$build/$name-setup.exe" \
  -DICON="$build/app/orvandel.ico" "$root/packaging/windows/orvandel.nsi" >/dev/null
echo "$build/$name.zip"
echo "$build/$name-setup.exe"
