; The per-user installer of Quorvel, in French: no administrator prompt, the program in
; %LOCALAPPDATA%\Programs\Quorvel, a Start menu shortcut, an entry in the user's Uninstall key.
; Built by window/CMakeLists.txt and scripts/package.sh:
;   makensis -INPUTCHARSET UTF8 -DGENERATED=<build>/window/generated -DPROGRAM=<quorvel.exe>
;            -DOUTFILE=<setup.exe> [-DSIGN=<command that signs the file it is given>] installer.nsi
; A silent deployment may choose the update server: setup.exe /S /SERVER=host[:port] [/D=folder]
Unicode true
Target amd64-unicode

!include "${GENERATED}/version.nsh"
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvel"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define SETTINGS_KEY "Software\Quorvel"

Name "Quorvel"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Quorvel"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
ManifestDPIAware true
; Quorvel's version, not the installer tool's, on the line under the pages.
BrandingText "Quorvel ${VERSION}"

!ifdef SIGN
  ; A signing command that fails fails the build: never an unsigned file that looks signed.
  !finalize '"${SIGN}" "%1"' = 0
  !uninstfinalize '"${SIGN}" "%1"' = 0
!endif

!define MUI_ICON "${__FILEDIR__}/quorvel.ico"
!define MUI_UNICON "${__FILEDIR__}/quorvel.ico"
; Quorvel's own picture on the welcome and finish pages (drawn by make_icon.py).
!define MUI_WELCOMEFINISHPAGE_BITMAP "${__FILEDIR__}/installer.bmp"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${__FILEDIR__}/installer.bmp"
!define MUI_FINISHPAGE_RUN "$INSTDIR\quorvel.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Lancer Quorvel"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "French"

VIProductVersion "${VERSION_FILE}"
VIFileVersion "${VERSION_FILE}"
VIAddVersionKey /LANG=${LANG_FRENCH} "ProductName" "Quorvel"
VIAddVersionKey /LANG=${LANG_FRENCH} "CompanyName" "Quorvel"
VIAddVersionKey /LANG=${LANG_FRENCH} "FileDescription" "Installation de Quorvel"
VIAddVersionKey /LANG=${LANG_FRENCH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_FRENCH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_FRENCH} "LegalCopyright" "Quorvel"

; Closes a running Quorvel the way its close box does (its tray icon goes, its settings are
; written), then waits for its process to end and its single-instance mutex to go (a Quorvel
; still starting has the mutex before its window).
!macro CLOSE_QUORVEL un
Function ${un}CloseQuorvel
  FindWindow $0 "quorvelmain"
  ${If} $0 P<> 0
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r3)'
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r3) p.r4'
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=10000
    ${If} $4 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r4, i 15000)'
      System::Call 'kernel32::CloseHandle(p r4)'
    ${EndIf}
  ${EndIf}
  StrCpy $1 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Local\Quorvel.SingleInstance") p.r2'
    ${If} $2 P= 0
      Return
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r2)'
    Sleep 100
    IntOp $1 $1 + 1
  ${LoopUntil} $1 >= 150
  MessageBox MB_OK|MB_ICONSTOP "Quorvel ne s'est pas fermé : fermez-le, puis recommencez." /SD IDOK
  Abort
FunctionEnd
!macroend
!insertmacro CLOSE_QUORVEL ""
!insertmacro CLOSE_QUORVEL "un."

; /SERVER=host[:port] on the command line: the update server, stored for the program.
Var Server
Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/SERVER=" $Server
  ${If} ${Errors}
    StrCpy $Server ""
  ${EndIf}
FunctionEnd

Section "Quorvel"
  ; A folder that holds files but no Quorvel is another program's: Quorvel goes into a folder of
  ; its own inside it, so that its uninstaller can never remove another program's files.
  ${IfNot} ${FileExists} "$INSTDIR\quorvel.exe"
    ${DirState} "$INSTDIR" $0
    ${If} $0 == 1
      StrCpy $INSTDIR "$INSTDIR\Quorvel"
    ${EndIf}
  ${EndIf}
  Call CloseQuorvel
  SetOutPath "$INSTDIR"
  ; The file of a program that has just ended can stay locked for a moment; a silent install
  ; would otherwise skip a file it cannot write and still report success.
  StrCpy $R0 0
  write:
  ClearErrors
  File "/oname=quorvel.exe" "${PROGRAM}"
  ${If} ${Errors}
    IntOp $R0 $R0 + 1
    ${If} $R0 < 50
      Sleep 100
      Goto write
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "Impossible d'écrire $INSTDIR\quorvel.exe." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Quorvel.lnk" "$INSTDIR\quorvel.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quorvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Quorvel"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quorvel.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ; Without /SERVER= a server chosen earlier stays.
  ${If} $Server != ""
    WriteRegStr HKCU "${SETTINGS_KEY}" "serveur" $Server
  ${EndIf}
  ; Quorvel's own files only, in KiB rounded up: the folder may hold other things.
  FileOpen $2 "$INSTDIR\quorvel.exe" r
  FileSeek $2 0 END $0
  FileClose $2
  FileOpen $2 "$INSTDIR\uninstall.exe" r
  FileSeek $2 0 END $3
  FileClose $2
  IntOp $0 $0 + $3
  IntOp $0 $0 + 1023
  IntOp $0 $0 / 1024
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Call un.CloseQuorvel
  ; The autostart value goes only when it starts the program of this folder: another copy's
  ; entry is that copy's business.
  ReadRegStr $0 HKCU "${RUN_KEY}" "quorvel"
  StrCpy $1 '"$INSTDIR\quorvel.exe"'
  StrLen $2 $1
  StrCpy $3 $0 $2
  ; A value that is only spaces (" ", left by "Désactiver le service") starts nothing: it goes too.
  StrCpy $4 $0
  ${DoWhile} $4 != ""
    StrCpy $5 $4 1
    ${If} $5 != " "
      ${Break}
    ${EndIf}
    StrCpy $4 $4 "" 1
  ${Loop}
  ${If} $3 == $1
  ${OrIf} $4 == ""
    DeleteRegValue HKCU "${RUN_KEY}" "quorvel"
  ${EndIf}
  MessageBox MB_YESNO|MB_ICONQUESTION "Conserver vos réglages (identifiant, fréquence d'actualisation, serveur choisi) ?" /SD IDYES IDYES keep
    DeleteRegKey HKCU "${SETTINGS_KEY}"
  keep:
  Delete "$INSTDIR\quorvel.exe"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\Quorvel.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  RMDir "$INSTDIR"
SectionEnd
