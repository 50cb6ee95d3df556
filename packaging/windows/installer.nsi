; The Windows installer: per user, no elevation, into the user's own programs folder.
; makensis -DSTAGE=<folder with the 64-bit set> -DFILES=<its uninstall list> -DVERSION=x.y.z
;          -DOUTFILE=<setup.exe> -DICON=<.ico> -DWIZARD=<164x314 .bmp>
;          [-DSTAGE32=<folder with the 32-bit set> -DFILES32=<its uninstall list>]
;          [-DSIGN=<command signing "%1">] installer.nsi
; FILES is an include made by scripts/package.sh from STAGE: a Delete line for every file and an
; RMDir line for every folder, deepest first, so the uninstaller removes exactly what was put
; there and leaves anything else the user added.
; Command line: /S silent; /NOLOGON do not start the watchdog at log-on (the component unticked).
; One installer for both kinds of Windows: a 32-bit program (it runs on both) that installs the
; 64-bit set on 64-bit Windows and the 32-bit set on 32-bit Windows.
!ifdef STAGE32
  Target x86-unicode
!else
  Target amd64-unicode
!endif
RequestExecutionLevel user
SetCompressor /SOLID lzma

!include "MUI2.nsh"
!include "WinVer.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "x64.nsh"

!define PRODUCT "NORVA Companions"
; Our own uninstall entry. "NORVA" belongs to the lecture client and holds its "Launch" value,
; which the watchdog only reads.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\NORVA-Companions"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "norva-deamon"
!define WATCHDOG "norva-deamon.exe"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
!ifdef SIGN
  !uninstfinalize `${SIGN}`
  !finalize `${SIGN}`
!endif

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_ABORTWARNING
!define MUI_UNABORTWARNING
!define MUI_COMPONENTSPAGE_SMALLDESC
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The user's own language where it is one of these (Windows' UI language), English otherwise.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString SecMainName ${LANG_ENGLISH} "${PRODUCT}"
LangString SecMainName ${LANG_SIMPCHINESE} "${PRODUCT}"
LangString SecMainText ${LANG_ENGLISH} "The watchdog, the stack viewer, the notice box and the scene demo, with the Qt libraries they need, and a Start-menu entry for the stack viewer."
LangString SecMainText ${LANG_SIMPCHINESE} "看门狗、调用栈查看器、提示框和场景演示，以及它们所需的 Qt 库，并在开始菜单中添加调用栈查看器。"
LangString SecRunName ${LANG_ENGLISH} "Watchdog at log-on"
LangString SecRunName ${LANG_SIMPCHINESE} "登录时启动看门狗"
LangString SecRunText ${LANG_ENGLISH} "Start norva-deamon each time you log on; it keeps the lecture client's launcher running."
LangString SecRunText ${LANG_SIMPCHINESE} "每次登录时启动 norva-deamon，使讲座客户端的启动器保持运行。"
LangString OldWindows ${LANG_ENGLISH} "${PRODUCT} needs Windows 7 with Service Pack 1, or a later Windows."
LangString OldWindows ${LANG_SIMPCHINESE} "${PRODUCT} 需要 Windows 7 Service Pack 1 或更高版本的 Windows。"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "NORVA"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "NORVA"

Var WatchdogWasRunning

; Ends every watchdog that runs from this installation's folder, and no other: a copy started
; from an unpacked zip elsewhere is not ours to end. Sets $R9 to 1 when one was ended.
!macro DefineEndOwnWatchdog un
Function ${un}EndOwnWatchdog
  StrCpy $R9 0
  System::Alloc 16384 ; room for 4096 process ids
  Pop $R0
  System::Call 'psapi::EnumProcesses(p R0, i 16384, *i .R1) i .R2'
  ${If} $R2 <> 0
    IntOp $R1 $R1 / 4
    StrCpy $R3 0
    ${While} $R3 < $R1
      IntOp $R4 $R3 * 4
      IntPtrOp $R4 $R0 + $R4
      System::Call '*$R4(i .R5)'
      ; PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION
      System::Call 'kernel32::OpenProcess(i 0x101001, i 0, i R5) p .R6'
      ${If} $R6 P<> 0
        StrCpy $R7 1024
        System::Call 'kernel32::QueryFullProcessImageNameW(p R6, i 0, w .R8, *i R7) i .R2'
        ${If} $R2 <> 0
        ${AndIf} $R8 == "$INSTDIR\${WATCHDOG}"
          System::Call 'kernel32::TerminateProcess(p R6, i 1)'
          ; Its files are free once it has ended.
          System::Call 'kernel32::WaitForSingleObject(p R6, i 5000)'
          StrCpy $R9 1
        ${EndIf}
        System::Call 'kernel32::CloseHandle(p R6)'
      ${EndIf}
      IntOp $R3 $R3 + 1
    ${EndWhile}
  ${EndIf}
  System::Free $R0
FunctionEnd
!macroend
!insertmacro DefineEndOwnWatchdog ""
!insertmacro DefineEndOwnWatchdog "un."

Section "!$(SecMainName)" SecMain
  SectionIn RO
  ; An upgrade: the running watchdog holds its program and the Qt libraries open.
  Call EndOwnWatchdog
  StrCpy $WatchdogWasRunning $R9
  SetOutPath "$INSTDIR"
!ifdef STAGE32
  ${If} ${RunningX64}
    File /r "${STAGE}\*.*"
  ${Else}
    File /r "${STAGE32}\*.*"
  ${EndIf}
!else
  File /r "${STAGE}\*.*"
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\norva-pstack.lnk" "$INSTDIR\norva-pstack.exe" "" \
    "$INSTDIR\norva-companions.ico" 0
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\norva-companions.ico"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "NORVA"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "$(SecRunName)" SecRun
  WriteRegStr HKCU "${RUN_KEY}" "${RUN_VALUE}" '"$INSTDIR\${WATCHDOG}"'
SectionEnd

Section "-AfterChoices"
  ${If} ${SectionIsSelected} ${SecRun}
    ; An upgrade leaves the new watchdog running where the old one ran.
    ${If} $WatchdogWasRunning == 1
      Exec '"$INSTDIR\${WATCHDOG}"'
    ${EndIf}
  ${Else}
    ; Unticked on a reinstall: our log-on value goes (a value of someone else's stays).
    ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${If} $0 == '"$INSTDIR\${WATCHDOG}"'
      DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
    ${EndIf}
  ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecMain} $(SecMainText)
  !insertmacro MUI_DESCRIPTION_TEXT ${SecRun} $(SecRunText)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

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
    MessageBox MB_ICONSTOP|MB_OK "$(OldWindows)" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; A reinstall remembers the log-on choice: no log-on value of ours, no tick.
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $1 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${If} $0 != ""
  ${AndIf} $1 == ""
    !insertmacro UnselectSection ${SecRun}
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOLOGON" $1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecRun}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Uninstall"
  ; This installation's watchdog must end before its files can go; any other copy runs on.
  Call un.EndOwnWatchdog
  ReadRegStr $0 HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${If} $0 == '"$INSTDIR\${WATCHDOG}"'
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT}\norva-pstack.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
!ifdef FILES32
  ${If} ${RunningX64}
    !include "${FILES}"
  ${Else}
    !include "${FILES32}"
  ${EndIf}
!else
  !include "${FILES}"
!endif
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
