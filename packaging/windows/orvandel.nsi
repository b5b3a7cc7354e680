; The Windows installer: the folder that scripts/windows/package.sh assembled, put under
; Program Files, a Start-menu entry, and an uninstaller listed in the system's Apps list.
; makensis -DVERSION=x.y.z -DSOURCE=<folder> -DOUTFILE=<installer.exe> -DICON=<icon> orvandel.nsi
Unicode true
!include "MUI2.nsh"

Name "Orvandel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Orvandel"
InstallDirRegKey HKLM "Software\Venmora\Orvandel" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvandel"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Orvandel"
  SetOutPath "$INSTDIR"
  File /r "${SOURCE}\*.*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "Software\Venmora\Orvandel" "InstallDir" "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\Orvandel.lnk" "$INSTDIR\orvandel.exe" "" "$INSTDIR\orvandel.exe" 0
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Orvandel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Venmora"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\orvandel.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The user's stored inputs stay, as they do when the program is replaced by a newer one.
Section "Uninstall"
  Delete "$SMPROGRAMS\Orvandel.lnk"
  RMDir /r "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Venmora\Orvandel"
  DeleteRegKey /ifempty HKLM "Software\Venmora"
SectionEnd
