; The Windows installer. packaging/NSIS.template.in defines what the build
; knows (VERSION, ARCH, FILES, HELPER, ICON, OUTFILE, ACTIVE_SETUP_VERSION and
; the REMOVE_FILES macro) and includes this file.
;
;   setup.exe [/CurrentUser | /AllUsers] [/AUTOSTART] [/S] [/D=folder]
;
; /CurrentUser (the default) installs for the user who runs it, without
; administrator rights; /AllUsers installs for every user of the machine.

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
; The helper's exit code when the UAC prompt was declined, and ours when
; started again without the rights all the same (UAC off, a standard account chosen).
!define ERROR_CANCELLED 1223
!define ERROR_ELEVATION_REQUIRED 740

Name "${NAME}"
OutFile "${OUTFILE}"
SetCompressor /SOLID lzma

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
!insertmacro MUI_LANGUAGE "English"

Var AllUsers      ; 1: for every user, 0: for the current one
Var Autostart     ; 1: start at log-on
Var DirGiven      ; 1: /D= named the folder
Var Elevated      ; 1: started again as administrator by a per-user process that makes the user's folder
Var AllUsersRadio
Var AutostartBox

; The helper, in the plug-ins folder, which is removed when the installer ends.
!macro ExtractHelper
  InitPluginsDir
  File "/oname=$PLUGINSDIR\setuphelper.exe" "${HELPER}"
!macroend

!macro IsAdmin result
  UserInfo::GetAccountType
  Pop ${result}
!macroend

; Ends the watchdogs running from $INSTDIR, which hold its files open. Asks
; first (not when silent); cancelling, or one that can't be ended, aborts
; before anything is changed.
!macro EndWatchdogs un
Function ${un}EndWatchdogs
  SetDetailsPrint none
  !insertmacro ExtractHelper
  ExecWait '"$PLUGINSDIR\setuphelper.exe" running "$INSTDIR"' $0
  SetDetailsPrint both
  ${If} $0 == 0
    Return
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONEXCLAMATION \
    "${NAME} is running from $INSTDIR. It will be closed; the program it watches keeps running." \
    /SD IDOK IDOK end
  Abort "Cancelled: ${NAME} is still running."
end:
  DetailPrint "Closing ${NAME}"
  SetDetailsPrint none
  ExecWait '"$PLUGINSDIR\setuphelper.exe" end "$INSTDIR"' $0
  SetDetailsPrint both
  ${If} $0 != 0
    Abort "${NAME} could not be closed. Close it, then try again."
  ${EndIf}
FunctionEnd
!macroend
!insertmacro EndWatchdogs ""
!insertmacro EndWatchdogs "un."

; Runs this program again as an administrator with `parameters` and waits:
; its exit code in $0, or the helper's error (ERROR_CANCELLED: prompt declined).
!macro RunAsAdministrator parameters
  !insertmacro ExtractHelper
  ExecWait '"$PLUGINSDIR\setuphelper.exe" elevated "$EXEPATH" "${parameters}"' $0
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
    MessageBox MB_OK|MB_ICONSTOP "Installing for every user needs administrator rights." /SD IDOK
    StrCpy $0 ${ERROR_ELEVATION_REQUIRED}
    Return
  ${EndIf}
  StrCpy $1 "/AllUsers /ELEVATED"
  ${If} $Autostart == 1
    StrCpy $1 "$1 /AUTOSTART"
  ${EndIf}
  ${If} ${Silent}
    StrCpy $1 "/S $1"
  ${EndIf}
  ${If} $DirGiven == 1
    StrCpy $1 "$1 /D=$INSTDIR"
  ${EndIf}
  ${IfNot} ${Silent}
    HideWindow
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
  StrCpy $AllUsers 0
  ClearErrors
  ${GetOptions} $R0 "/AllUsers" $R1
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/CurrentUser" $R1
  ${IfNot} ${Errors}
  ${AndIf} $AllUsers == 1
    MessageBox MB_OK|MB_ICONSTOP "Give /CurrentUser or /AllUsers, not both." /SD IDOK
    SetErrorLevel 2
    Quit
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
  !insertmacro MUI_HEADER_TEXT "Installation type" "Who uses ${NAME} on this computer?"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 0 100% 12u "Just &me (no administrator rights needed)"
  Pop $1
  ${NSD_CreateRadioButton} 0 16u 100% 12u "&Every user of this computer (needs administrator rights)"
  Pop $AllUsersRadio
  ${NSD_CreateCheckbox} 0 44u 100% 12u "&Start ${NAME} at log-on"
  Pop $AutostartBox
  ${If} $AllUsers == 1
    ${NSD_Check} $AllUsersRadio
  ${Else}
    ${NSD_Check} $1
  ${EndIf}
  ${If} $Autostart == 1
  ${OrIf} ${FileExists} "$SMSTARTUP\${SHORTCUT}"
    ${NSD_Check} $AutostartBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $AllUsersRadio $AllUsers
  ${NSD_GetState} $AutostartBox $Autostart
  Call UseMode
  ${If} $AllUsers == 1
    Call InstallAsAdministrator
    ${If} $0 == ${ERROR_CANCELLED}
      BringToFront
      MessageBox MB_OK|MB_ICONEXCLAMATION "Installing for every user needs administrator rights."
      Abort
    ${ElseIf} $0 != ""
      SetErrorLevel $0
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Section
  Call EndWatchdogs
  SetOutPath "$INSTDIR"
  File /r "${FILES}\*.*"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

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
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The mode of this install: all users when HKLM's entry names this folder.
Function un.onInit
  !if ${ARCH} == x86_64
    SetRegView 64
  !endif
  StrCpy $AllUsers 0
  SetShellVarContext current
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    StrCpy $AllUsers 1
    SetShellVarContext all
    !insertmacro IsAdmin $1
    ${If} $1 != "Admin"
      ${GetParameters} $R0
      ClearErrors
      ${GetOptions} $R0 "/ELEVATED" $R1
      ${IfNot} ${Errors}
        MessageBox MB_OK|MB_ICONSTOP "Uninstalling for every user needs administrator rights." /SD IDOK
        SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
        Quit
      ${EndIf}
      ; _?= must come last.
      StrCpy $1 "/ELEVATED _?=$INSTDIR"
      ${If} ${Silent}
        StrCpy $1 "/S $1"
      ${EndIf}
      !insertmacro RunAsAdministrator $1
      SetErrorLevel $0
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

; Users' working folders stay: they hold their sys.ini and restart logs.
Section Uninstall
  Call un.EndWatchdogs
  !insertmacro REMOVE_FILES
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${NAME}\${SHORTCUT}"
  RMDir "$SMPROGRAMS\${NAME}"
  Delete "$SMSTARTUP\${SHORTCUT}"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${If} $AllUsers == 1
    DeleteRegKey HKLM "${ACTIVE_SETUP_KEY}"
  ${EndIf}
SectionEnd
