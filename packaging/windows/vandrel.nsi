; The Windows installer of Vandrel (made by scripts/package-windows with Debian's nsis).
; Installs the staged tree (STAGE) to Program Files\Vandrel, puts its bin folder on the system
; PATH so that vandrel-cli runs from any console, and registers an uninstaller that removes the
; files, the folder, the PATH entry and its own registration. /S installs and uninstalls silently.
Unicode true
; A 64-bit installer: the programs are 64-bit, and a 64-bit wine without its 32-bit half can run it.
Target amd64-unicode
!include "LogicLib.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
!include "x64.nsh"
${StrStr}
${UnStrRep}

!ifndef VERSION
  !define VERSION "3.0.0"
!endif
!ifndef STAGE
  !error "makensis -DSTAGE=<staged install tree> -DOUTFILE=<setup.exe> vandrel.nsi"
!endif

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vandrel"
!define ENV_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "Vandrel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vandrel"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Vandrel"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; vandrel-cli on the PATH (once)
  ReadRegStr $0 HKLM "${ENV_KEY}" "Path"
  ${StrStr} $1 "$0" "$INSTDIR\bin"
  ${If} $1 == ""
    ${If} $0 == ""
      WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$INSTDIR\bin"
    ${Else}
      WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$0;$INSTDIR\bin"
    ${EndIf}
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Vandrel ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  ; the PATH entry, wherever it stands in the list
  ReadRegStr $0 HKLM "${ENV_KEY}" "Path"
  ${UnStrRep} $0 "$0" ";$INSTDIR\bin" ""
  ${UnStrRep} $0 "$0" "$INSTDIR\bin;" ""
  ${UnStrRep} $0 "$0" "$INSTDIR\bin" ""
  WriteRegExpandStr HKLM "${ENV_KEY}" "Path" "$0"
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000

  RMDir /r "$INSTDIR\bin"
  RMDir /r "$INSTDIR\lib"
  RMDir /r "$INSTDIR\include"
  RMDir /r "$INSTDIR\samples"
  RMDir /r "$INSTDIR\licenses"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\README-Windows.md"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
