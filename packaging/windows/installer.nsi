; The Windows installer: per user, no elevation, into the user's own programs folder.
; makensis -DSTAGE=<folder with the installed files> -DFILES=<uninstall list> -DVERSION=x.y.z
;          -DOUTFILE=<setup.exe> installer.nsi
; FILES is an include made by scripts/package.sh from STAGE: a Delete line for every file and an
; RMDir line for every folder, deepest first, so the uninstaller removes exactly what was put
; there and leaves anything else the user added.
; A 64-bit installer for 64-bit programs (it also runs where no 32-bit layer is installed).
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "WinVer.nsh"

!define PRODUCT "NORVA Companions"
; Our own uninstall entry. "NORVA" belongs to the lecture client and holds its "Launch" value,
; which the watchdog only reads.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NORVA-Companions"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "norva-deamon"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

Function .onInit
  SetShellVarContext current
  ; Qt 5.15 and every program here need Windows 7 with Service Pack 1 or later.
  StrCpy $0 0
  ${If} ${AtLeastWin8}
    StrCpy $0 1
  ${ElseIf} ${IsWin7}
  ${AndIf} ${AtLeastServicePack} 1
    StrCpy $0 1
  ${EndIf}
  ${If} $0 == 0
    MessageBox MB_ICONSTOP|MB_OK "${PRODUCT} needs Windows 7 with Service Pack 1, or a later Windows." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "!${PRODUCT}" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\norva-pstack.lnk" "$INSTDIR\norva-pstack.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "NORVA"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Start the watchdog at log-on" SecRun
  WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\norva-deamon.exe"'
SectionEnd

Section "Uninstall"
  ; The watchdog of this installation may be running: it must end before its files can go.
  nsExec::Exec 'taskkill /F /IM norva-deamon.exe'
  Pop $0
  Sleep 500
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  StrCmp $0 '"$INSTDIR\norva-deamon.exe"' 0 +2
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  Delete "$SMPROGRAMS\${PRODUCT}\norva-pstack.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  !include "${FILES}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
