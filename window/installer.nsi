; The per-user installer of Quorvel, in French: no administrator prompt, the program in
; %LOCALAPPDATA%\Programs\Quorvel, a Start menu shortcut, an entry in the user's Uninstall key.
; Built by window/CMakeLists.txt and scripts/package.sh:
;   makensis -INPUTCHARSET UTF8 -DGENERATED=<build>/window/generated -DPROGRAM=<quorvel.exe>
;            -DCHECKER=<quorvel-serveur.exe> -DOUTFILE=<setup.exe>
;            [-DSIGN=<command that signs the file it is given>] installer.nsi
; The update server is asked on the "Serveur" page (empty: the built-in host); a silent
; deployment gives it as setup.exe /S /SERVER=<server> [/D=folder], where <server> is anything
; Quorvel reads (host, host:port, [IPv6]:port, http://host[:port]/), a URL's slashes included.
Unicode true
Target amd64-unicode

!include "${GENERATED}/version.nsh"
!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh
!include nsDialogs.nsh

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
Page custom ServerPage ServerPageLeave
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

Var Restart  ; 1 when a running, active Quorvel was closed: started again afterwards

; Whether the autostart value starts anything: not missing and not only spaces (" " is what
; "Désactiver le service" leaves). Pushes 1 or 0.
!macro RUN_VALUE_STARTS un
Function ${un}RunValueStarts
  ReadRegStr $R1 HKCU "${RUN_KEY}" "quorvel"
  ${DoWhile} $R1 != ""
    StrCpy $R2 $R1 1
    ${If} $R2 != " "
      Push 1
      Return
    ${EndIf}
    StrCpy $R1 $R1 "" 1
  ${Loop}
  Push 0
FunctionEnd
!macroend
!insertmacro RUN_VALUE_STARTS ""
!insertmacro RUN_VALUE_STARTS "un."

; Closes a running Quorvel the way its close box does (its tray icon goes, its settings are
; written), then waits for its process to end and its single-instance mutex to go (a Quorvel
; still starting has the mutex before its window).
!macro CLOSE_QUORVEL un
Function ${un}CloseQuorvel
  FindWindow $0 "quorvelmain"
  ${If} $0 P<> 0
    ; A Quorvel that was updating is started again once its file is replaced.
    Call ${un}RunValueStarts
    Pop $Restart
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

; The update server, stored for the program as "serveur": from /SERVER=, else the value of an
; earlier install, as the "Serveur" page shows it; empty for the built-in host.
Var Server
Var ServerGiven    ; 1 when /SERVER= was on the command line
Var ServerReason   ; why Quorvel would refuse $Server; empty when it would use it
Var ServerBox
Var ServerReasonLabel

; /SERVER= takes its whole argument, up to the next space outside quotes: an option parser
; would cut a URL at its first "/". Parameters in $0; sets $Server and $ServerGiven.
Function ServerOption
  StrLen $1 $0
  StrCpy $2 0
  ${DoWhile} $2 < $1
    StrCpy $3 $0 8 $2
    StrCpy $6 " "
    ${If} $2 > 0
      IntOp $7 $2 - 1
      StrCpy $6 $0 1 $7
    ${EndIf}
    ; At an argument's start: the line's start, after a space, or after an opening quote.
    ${If} $6 != " "
    ${AndIf} $6 != '"'
      StrCpy $3 ""
    ${EndIf}
    ${If} $3 == "/SERVER="
      ; "/SERVER=..." in quotes: the closing quote is not part of the value.
      StrCpy $5 0
      ${If} $6 == '"'
        StrCpy $5 1
      ${EndIf}
      IntOp $2 $2 + 8
      StrCpy $4 ""
      ${DoWhile} $2 < $1
        StrCpy $3 $0 1 $2
        ${If} $3 == '"'
          IntOp $5 1 - $5
        ${ElseIf} $3 == " "
        ${AndIf} $5 == 0
          ${Break}
        ${Else}
          StrCpy $4 "$4$3"
        ${EndIf}
        IntOp $2 $2 + 1
      ${Loop}
      StrCpy $Server $4
      StrCpy $ServerGiven 1
      Return
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
FunctionEnd

; Asks Quorvel's own reading of the server (quorvel-serveur.exe, the same code as the program):
; sets $ServerReason, empty when Quorvel would use $Server.
Function CheckServer
  StrCpy $ServerReason ""
  StrCpy $R9 $Server
  System::Call 'kernel32::SetEnvironmentVariable(t "QUORVEL_SERVEUR", t R9)'
  nsExec::ExecToStack /MBCS '"$PLUGINSDIR\quorvel-serveur.exe"'
  Pop $0
  Pop $1
  ${If} $0 == 1
    StrCpy $ServerReason $1
  ${ElseIf} $0 != 0
    StrCpy $ServerReason "vérification impossible ($0)"
  ${EndIf}
FunctionEnd

Function .onInit
  StrCpy $Server ""
  StrCpy $ServerGiven 0
  StrCpy $Restart 0
  InitPluginsDir
  File "/oname=$PLUGINSDIR\quorvel-serveur.exe" "${CHECKER}"
  ${GetParameters} $0
  Call ServerOption
  ${If} $ServerGiven != 1
    ReadRegStr $Server HKCU "${SETTINGS_KEY}" "serveur"
  ${EndIf}
  ; A silent install given a server Quorvel would refuse installs nothing: status 2.
  ${If} ${Silent}
  ${AndIf} $ServerGiven == 1
    Call CheckServer
    ${If} $ServerReason != ""
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ServerPage
  !insertmacro MUI_HEADER_TEXT "Serveur" "Le serveur de mise à jour que Quorvel appellera."
  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 40u "Si un ami ou votre association vous a donné l'adresse de son serveur Quorvel, saisissez-la ici : nom, nom:port, [adresse IPv6]:port ou http://nom:port/.$\r$\n$\r$\nLaissez vide pour le service public www.quorvel.fr."
  Pop $0
  ${NSD_CreateText} 0 46u 100% 12u $Server
  Pop $ServerBox
  ${NSD_CreateLabel} 0 64u 100% 30u ""
  Pop $ServerReasonLabel
  ${If} $ServerReason != ""
    ${NSD_SetText} $ServerReasonLabel "Serveur refusé : $ServerReason."
  ${EndIf}
  ; Typing goes into the box: a letter would otherwise press a button's shortcut.
  ${NSD_SetFocus} $ServerBox
  nsDialogs::Show
FunctionEnd

; Stays on the page, saying why, while Quorvel would refuse the text.
Function ServerPageLeave
  ${NSD_GetText} $ServerBox $Server
  Call CheckServer
  ${If} $ServerReason != ""
    ${NSD_SetText} $ServerReasonLabel "Serveur refusé : $ServerReason."
    Abort
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
  ; The page (or /SERVER=) decides; without either, a server chosen earlier stays, as the page
  ; was filled with it. Empty is the built-in host.
  ${If} $Server != ""
    WriteRegStr HKCU "${SETTINGS_KEY}" "serveur" $Server
  ${Else}
    DeleteRegValue HKCU "${SETTINGS_KEY}" "serveur"
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
  ; Its updates go on: started as at logon, hidden behind its icon.
  ${If} $Restart == 1
    Exec '"$INSTDIR\quorvel.exe" -wiper'
  ${EndIf}
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
  Call un.RunValueStarts
  Pop $4
  ${If} $3 == $1
  ${OrIf} $4 == 0
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
