; The Windows installer. packaging/NSIS.template.in defines what the build
; knows (VERSION, ARCH, FILES, HELPER, ICON, OUTFILE, ACTIVE_SETUP_VERSION and
; the REMOVE_FILES macro) and includes this file.
;
;   setup.exe [/CurrentUser | /AllUsers] [/AUTOSTART] [/LANG=id] [/S] [/D=folder]
;
; /CurrentUser (the default) installs for the user who runs it, without
; administrator rights; /AllUsers installs for every user of the machine.
; The language follows Windows' display language (any Chinese one: Simplified
; Chinese; any other: English); /LANG=2052 or /LANG=1033 chooses it.

; The target must be the first command: given later, $PROGRAMFILES64 names the 32-bit folder.
!if ${ARCH} == x86_64
  Target amd64-unicode
  !define PROGRAM_FILES "$PROGRAMFILES64"
!else
  Target x86-unicode
  !define PROGRAM_FILES "$PROGRAMFILES"
!endif

; No UAC prompt for a per-user install. An all-users install starts the
; installer again as an administrator (through the helper) and waits for it:
; this process still runs as the user who started it, so it makes that user's
; working folder, even when the prompt was answered with another account.
RequestExecutionLevel user

!define NAME "Tallowbrecken Watchdog"
!define PUBLISHER "Tallowbrecken"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"
!define ACTIVE_SETUP_KEY "Software\Microsoft\Active Setup\Installed Components\TallowbreckenWatchdog"
; sys.ini and the restart log lie in the working directory: every user's own
; folder, kept unexpanded in the shortcuts so that it expands for whoever starts them.
!define WORK_DIR "%LOCALAPPDATA%\${NAME}"
!define SHORTCUT "${NAME}.lnk"
; Our exit codes, the README's table: 1 cancelled by the user; 2 failed (a file
; that could not be written or removed, a watchdog that could not be closed,
; contradictory switches); 3 the helper, or the start as administrator, failed;
; 4 installed, but a watchdog it closed could not be started again;
; 740 started again without the rights all the same (UAC off, a standard
; account chosen); 1223 the UAC prompt declined; 3010 uninstalled in place,
; and its Uninstall.exe goes at the next restart.
!define EXIT_CANCELLED 1
!define EXIT_FAILED 2
!define EXIT_HELPER 3
!define EXIT_RESTART 4
!define EXIT_REBOOT 3010
!define ERROR_ELEVATION_REQUIRED 740
!define ERROR_CANCELLED 1223
; The helper sets this bit on its own errors, apart from the exit codes of what it runs.
!define HELPER_ERROR 0x20000000

Name "${NAME}"
OutFile "${OUTFILE}"
SetCompressor /SOLID lzma
; With a certificate, the uninstaller is signed before it goes into the
; installer, then the installer; a failed signing fails the build.
!if "${SIGN}" != ""
  !uninstfinalize '"${SIGN}" --as Uninstall.exe "%1"' = 0
  !finalize '"${SIGN}" "%1"' = 0
!endif
; A file that can't be written is never skipped: Retry or Cancel, and Cancel
; when silent. $Holders names the programs that hold files in the folder.
AllowSkipFiles off

!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include MUI2.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
Page custom ModePage ModePageLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; English first: NSIS takes the first language where Windows' display
; language has no match, and any Chinese one matches Simplified Chinese.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"
; A text missing in one of the languages fails the build.
!pragma warning error 6040
!include /CHARSET=UTF8 "${__FILEDIR__}\installer-texts.nsh"

Var AllUsers      ; 1: for every user, 0: for the current one
Var Autostart     ; 1: start at log-on
Var DirGiven      ; 1: /D= named the folder
Var Elevated      ; 1: started again as administrator by a per-user process that makes the user's folder
Var JustMeRadio
Var AllUsersRadio
Var AutostartBox
Var Holders       ; the programs other than the watchdog that hold files in $INSTDIR, for the messages
Var InPlace       ; 1: the uninstaller runs from $INSTDIR (_?=), and can't remove itself

; The helper, in the plug-ins folder, which is removed when the installer ends.
!macro ExtractHelper
  InitPluginsDir
  File "/oname=$PLUGINSDIR\setuphelper.exe" "${HELPER}"
!macroend

; Runs the helper with `arguments`: its exit code in $0. One that can't run
; (blocked where it is unpacked, say) ends the run.
!macro RunHelper arguments
  !insertmacro ExtractHelper
  ClearErrors
  ExecWait '"$PLUGINSDIR\setuphelper.exe" ${arguments}' $0
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$(HelperFailed)" /SD IDOK
    SetErrorLevel ${EXIT_HELPER}
    Quit
  ${EndIf}
!macroend

!macro IsAdmin result
  UserInfo::GetAccountType
  Pop ${result}
!macroend

; Ends the watchdogs running from $INSTDIR, which hold its files open, noting
; each first for RestartWatchdogs. Asks first (not when silent); cancelling
; aborts before anything is changed. Called once everything that can fail
; before a file is touched has been checked (CheckHolders).
!macro EndWatchdogs un
Function ${un}EndWatchdogs
  SetDetailsPrint none
  !insertmacro RunHelper 'running "$INSTDIR"'
  SetDetailsPrint both
  ${If} $0 == 0
    Return
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONEXCLAMATION \
    "$(WillBeClosed)" \
    /SD IDOK IDOK end
  SetErrorLevel ${EXIT_CANCELLED}
  Abort "$(StillRunning)"
end:
  DetailPrint "$(Closing)"
  SetDetailsPrint none
  !insertmacro RunHelper 'end "$INSTDIR" "$PLUGINSDIR\watchdogs.txt"'
  SetDetailsPrint both
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "$(NotClosed)$(CloseThenAgain)" /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(NotClosed)"
  ${EndIf}
FunctionEnd

; Stops, before anything is changed, while other programs use DLLs in
; $INSTDIR: they could be neither replaced nor removed. (A removal may even be
; reported done and happen only once they end, as under Wine.)
Function ${un}CheckHolders
again:
  Call ${un}NoteHolders
  ${If} $Holders != ""
    MessageBox MB_RETRYCANCEL|MB_ICONSTOP "$(FilesInUse)$Holders$\r$\n$\r$\n$(CloseThenRetry)" \
      /SD IDCANCEL IDRETRY again
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(FilesInUse)"
  ${EndIf}
FunctionEnd

; The programs that hold files in $INSTDIR, in $Holders, for the messages.
Function ${un}NoteHolders
  StrCpy $Holders ""
  SetDetailsPrint none
  !insertmacro RunHelper 'holders "$INSTDIR" "$PLUGINSDIR\holders.txt"'
  SetDetailsPrint both
  ClearErrors
  FileOpen $1 "$PLUGINSDIR\holders.txt" r
  ${IfNot} ${Errors}
    FileReadUTF16LE $1 $2
    FileClose $1
    ${If} $2 != ""
      StrCpy $Holders "$(InUseBy)"
    ${EndIf}
  ${EndIf}
FunctionEnd

; Starts again each watchdog that EndWatchdogs closed, whatever came after
; (`outcome` done or failed), and sets the exit code: a failure keeps its
; own, and a success becomes EXIT_RESTART when one could not be started.
Function ${un}RestartWatchdogs
  Exch $R8
  Push $R9
  GetErrorLevel $R9
  SetDetailsPrint none
  !insertmacro RunHelper 'restart "$INSTDIR" "$PLUGINSDIR\watchdogs.txt" $R8 $R9'
  SetDetailsPrint both
  SetErrorLevel $0
  ${If} $0 == ${EXIT_RESTART}
    MessageBox MB_OK|MB_ICONEXCLAMATION \
      "$(NotRestarted)" /SD IDOK
  ${EndIf}
  Pop $R9
  Pop $R8
FunctionEnd
!macroend
!insertmacro EndWatchdogs ""
!insertmacro EndWatchdogs "un."

; /LANG=id (a Windows language id: 2052 Chinese, 1033 English) in the
; parameters $R0 takes the place of Windows' display language, matched alike
; once .onInit ends.
!macro ChooseLanguage un
Function ${un}ChooseLanguage
  ClearErrors
  ${GetOptions} $R0 "/LANG=" $R1
  ${IfNot} ${Errors}
    StrCpy $LANGUAGE $R1
  ${EndIf}
FunctionEnd
!macroend
!insertmacro ChooseLanguage ""
!insertmacro ChooseLanguage "un."

; Runs this program again as an administrator with `parameters` and waits:
; its exit code in $0, ERROR_CANCELLED when the prompt was declined. Any other
; error starting it ends the run with a message. The wizard owns the prompt,
; and the helper hides it once the prompt is answered.
!macro RunAsAdministrator parameters
  !insertmacro RunHelper 'elevated "$EXEPATH" "${parameters}" $HWNDPARENT'
  IntOp $1 $0 & ${HELPER_ERROR}
  ${If} $1 != 0
    IntOp $0 $0 ^ ${HELPER_ERROR}
    ${If} $0 != ${ERROR_CANCELLED}
      MessageBox MB_OK|MB_ICONSTOP "$(ElevationFailed)" /SD IDOK
      SetErrorLevel ${EXIT_HELPER}
      Quit
    ${EndIf}
  ${EndIf}
!macroend

; The shell folders and the default folder of the chosen mode. An upgrade goes
; where the earlier install of that mode is.
Function UseMode
  SetShellVarContext current
  ${If} $DirGiven == 0
    StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${NAME}"
    ${If} $AllUsers == 1
      StrCpy $INSTDIR "${PROGRAM_FILES}\${NAME}"
    ${EndIf}
  ${EndIf}
  ${If} $AllUsers == 1
    SetShellVarContext all
  ${EndIf}
  ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $DirGiven == 0
  ${AndIf} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

; All users: the install itself runs as an administrator. Without the rights
; that is another process; this one then makes its user's working folder.
; Returns the exit code in $0, or "" when this process has the rights itself.
Function InstallAsAdministrator
  StrCpy $0 ""
  !insertmacro IsAdmin $1
  ${If} $1 == "Admin"
    Return
  ${EndIf}
  ${If} $Elevated == 1
    MessageBox MB_OK|MB_ICONSTOP "$(InstallNeedsAdmin)" /SD IDOK
    StrCpy $0 ${ERROR_ELEVATION_REQUIRED}
    Return
  ${EndIf}
  StrCpy $1 "/AllUsers /ELEVATED /LANG=$LANGUAGE"
  ${If} $Autostart == 1
    StrCpy $1 "$1 /AUTOSTART"
  ${EndIf}
  ${If} ${Silent}
    StrCpy $1 "/S $1"
  ${EndIf}
  ${If} $DirGiven == 1
    StrCpy $1 "$1 /D=$INSTDIR"
  ${EndIf}
  !insertmacro RunAsAdministrator $1
  ${If} $0 == 0
    Call MakeWorkDir
  ${EndIf}
FunctionEnd

Function MakeWorkDir
  SetShellVarContext current
  CreateDirectory "$LOCALAPPDATA\${NAME}"
  ${If} $AllUsers == 1
    SetShellVarContext all
  ${EndIf}
FunctionEnd

Function .onInit
  !if ${ARCH} == x86_64
    SetRegView 64
  !endif
  StrCpy $DirGiven 0
  ${If} $INSTDIR != ""
    StrCpy $DirGiven 1
  ${EndIf}
  ${GetParameters} $R0
  Call ChooseLanguage
  StrCpy $AllUsers 0
  ClearErrors
  ${GetOptions} $R0 "/AllUsers" $R1
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CurrentUser" $R1
  ${IfNot} ${Errors}
    ${If} $AllUsers == 1
      MessageBox MB_OK|MB_ICONSTOP "$(BothModes)" /SD IDOK
      SetErrorLevel ${EXIT_FAILED}
      Quit
    ${EndIf}
  ${ElseIfNot} ${Silent}
    ; Interactively, with no mode given, the page offers the mode of the earlier install.
    ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ReadRegStr $R2 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $R1 != ""
    ${AndIf} $R2 == ""
      StrCpy $AllUsers 1
    ${EndIf}
  ${EndIf}
  StrCpy $Autostart 0
  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART" $R1
  ${IfNot} ${Errors}
    StrCpy $Autostart 1
  ${EndIf}
  StrCpy $Elevated 0
  ClearErrors
  ${GetOptions} $R0 "/ELEVATED" $R1
  ${IfNot} ${Errors}
    StrCpy $Elevated 1
  ${EndIf}
  Call UseMode
  ; Interactively the mode page decides.
  ${If} ${Silent}
  ${OrIf} $Elevated == 1
    ${If} $AllUsers == 1
      Call InstallAsAdministrator
      ${If} $0 != ""
        SetErrorLevel $0
        Quit
      ${EndIf}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ModePage
  ; Started again as administrator: the choice is made.
  ${If} $Elevated == 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "$(ModeTitle)" "$(ModeSubtitle)"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 0 100% 12u "$(JustMe)"
  Pop $JustMeRadio
  ${NSD_CreateRadioButton} 0 16u 100% 12u "$(EveryUser)"
  Pop $AllUsersRadio
  ${NSD_CreateCheckbox} 0 44u 100% 12u "$(AtLogOn)"
  Pop $AutostartBox
  ${If} $AllUsers == 1
    ${NSD_Check} $AllUsersRadio
  ${Else}
    ${NSD_Check} $JustMeRadio
  ${EndIf}
  Call ShowAutostart
  ${NSD_OnClick} $JustMeRadio ModeClicked
  ${NSD_OnClick} $AllUsersRadio ModeClicked
  nsDialogs::Show
FunctionEnd

Function ModeClicked
  Pop $0
  Call ShowAutostart
FunctionEnd

; The log-on box shows the selected mode's state: ticked when its Startup
; shortcut is there (or /AUTOSTART was given), so that accepting it keeps that.
Function ShowAutostart
  ${NSD_GetState} $AllUsersRadio $0
  SetShellVarContext current
  ${If} $0 == ${BST_CHECKED}
    SetShellVarContext all
  ${EndIf}
  ${If} $Autostart == 1
  ${OrIf} ${FileExists} "$SMSTARTUP\${SHORTCUT}"
    ${NSD_Check} $AutostartBox
  ${Else}
    ${NSD_Uncheck} $AutostartBox
  ${EndIf}
  SetShellVarContext current
  ${If} $AllUsers == 1
    SetShellVarContext all
  ${EndIf}
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $AllUsersRadio $AllUsers
  ${NSD_GetState} $AutostartBox $Autostart
  Call UseMode
  ${If} $AllUsers == 1
    Call InstallAsAdministrator
    ${If} $0 == ${ERROR_CANCELLED}
      BringToFront
      MessageBox MB_OK|MB_ICONEXCLAMATION "$(InstallNeedsAdmin)"
      Abort
    ${ElseIf} $0 != ""
      SetErrorLevel $0
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Section
  Call CheckHolders
  Call EndWatchdogs
  SetOutPath "$INSTDIR"
  File /r "${FILES}\*.*"
  ClearErrors
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$(UninstallerNotWritten)$Holders" /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(UninstallerNotWritten)"
  ${EndIf}

  ; The working folders don't depend on the shortcuts: the user's now, and
  ; every other user's at their next log-on, through Active Setup.
  ${If} $Elevated == 0
    Call MakeWorkDir
  ${EndIf}
  ${If} $AllUsers == 1
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "" "${NAME}"
    WriteRegStr HKLM "${ACTIVE_SETUP_KEY}" "Version" "${ACTIVE_SETUP_VERSION}"
    WriteRegExpandStr HKLM "${ACTIVE_SETUP_KEY}" "StubPath" \
      '%SystemRoot%\System32\cmd.exe /d /c mkdir "${WORK_DIR}"'
  ${EndIf}

  ; CreateShortCut takes the working folder from $OUTDIR, as it is.
  CreateDirectory "$SMPROGRAMS\${NAME}"
  StrCpy $OUTDIR "${WORK_DIR}"
  CreateShortCut "$SMPROGRAMS\${NAME}\${SHORTCUT}" "$INSTDIR\watchdog.exe"
  ; A shortcut in the Startup folder, not a Run value: it carries the working folder.
  ${If} $Autostart == 1
    CreateShortCut "$SMSTARTUP\${SHORTCUT}" "$INSTDIR\watchdog.exe"
  ${Else}
    Delete "$SMSTARTUP\${SHORTCUT}"
  ${EndIf}
  SetOutPath "$INSTDIR"

  ; HKCU for one user, HKLM for all.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\watchdog.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  ; `Uninstall.exe /S` returns at once: it runs a copy of itself from %TEMP%.
  ; Run in place with _?= (last, unquoted), it is waited for, and has itself
  ; removed once it has ended. No cmd.exe: it would read & ^ % in the folder.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0

  Push done
  Call RestartWatchdogs
SectionEnd

; A failure after the watchdogs were closed (a file that could not be
; written, Cancel) still starts them again.
Function .onInstFailed
  Push failed
  Call RestartWatchdogs
FunctionEnd

Function un.onUninstFailed
  Push failed
  Call un.RestartWatchdogs
FunctionEnd

; The mode of this install: all users when HKLM's entry names this folder.
Function un.onInit
  !if ${ARCH} == x86_64
    SetRegView 64
  !endif
  ${GetParameters} $R0
  Call un.ChooseLanguage
  !insertmacro RunHelper 'same "$INSTDIR" "$EXEDIR"'
  StrCpy $InPlace 0
  ${If} $0 == 0
    StrCpy $InPlace 1
  ${EndIf}
  StrCpy $AllUsers 0
  SetShellVarContext current
  ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  !insertmacro RunHelper 'same "$INSTDIR" "$R1"'
  ${If} $0 == 0
    StrCpy $AllUsers 1
    SetShellVarContext all
    !insertmacro IsAdmin $1
    ${If} $1 != "Admin"
      ${GetParameters} $R0
      ClearErrors
      ${GetOptions} $R0 "/ELEVATED" $R1
      ${IfNot} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "$(UninstallNeedsAdmin)" /SD IDOK
        SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
        Quit
      ${EndIf}
      ; _?= must come last.
      StrCpy $1 "/ELEVATED /LANG=$LANGUAGE _?=$INSTDIR"
      ${If} ${Silent}
        StrCpy $1 "/S $1"
      ${EndIf}
      !insertmacro RunAsAdministrator $1
      SetErrorLevel $0
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; Users' working folders stay: they hold their sys.ini and restart logs. Files
; that can't be removed keep the entry and Uninstall.exe, to try again. An
; entry or a shortcut is removed only when it names this folder: another
; install of the same mode may have taken them over.
Section Uninstall
  Call un.CheckHolders
  Call un.EndWatchdogs
retry:
  ClearErrors
  !insertmacro REMOVE_FILES
  ${IfNot} ${Errors}
    ${If} $InPlace == 0
      Delete "$INSTDIR\Uninstall.exe"
    ${Else}
      ; Removed, with the folder, once this has ended; or at the next restart.
      !insertmacro RunHelper 'discard "$INSTDIR\Uninstall.exe"'
      ${If} $0 == ${EXIT_REBOOT}
        SetErrorLevel $0
      ${ElseIf} $0 != 0
        SetErrors
      ${EndIf}
    ${EndIf}
  ${EndIf}
  ${If} ${Errors}
    MessageBox MB_RETRYCANCEL|MB_ICONSTOP "$(NotRemoved)$Holders" /SD IDCANCEL IDRETRY retry
    SetErrorLevel ${EXIT_FAILED}
    Abort "$(NotRemoved)"
  ${EndIf}
  ; Nor is a folder removed while it is a process's working folder.
  SetOutPath "$TEMP"
  RMDir "$INSTDIR"
  !insertmacro RunHelper 'owns "$INSTDIR" "$SMPROGRAMS\${NAME}\${SHORTCUT}"'
  ${If} $0 == 0
    Delete "$SMPROGRAMS\${NAME}\${SHORTCUT}"
    RMDir "$SMPROGRAMS\${NAME}"
  ${EndIf}
  !insertmacro RunHelper 'owns "$INSTDIR" "$SMSTARTUP\${SHORTCUT}"'
  ${If} $0 == 0
    Delete "$SMSTARTUP\${SHORTCUT}"
  ${EndIf}
  ReadRegStr $R1 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  !insertmacro RunHelper 'same "$INSTDIR" "$R1"'
  ${If} $0 == 0
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${EndIf}
  ${If} $AllUsers == 1
    DeleteRegKey HKLM "${ACTIVE_SETUP_KEY}"
  ${EndIf}
SectionEnd
