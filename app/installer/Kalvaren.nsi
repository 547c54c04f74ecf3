; Kalvaren-Setup.exe: a per-user installation that needs no administrator.
;
; Kalvaren keeps Data.dat beside its executable, so it must live where its user
; can write: %LOCALAPPDATA%\Programs\Kalvaren. The uninstaller removes what the
; installer brought and leaves the user's own files (Data.dat, Settings.ini).
;
; Defined by the build (makensis -D...):
;   VERSION     the project's version, four numbers
;   EXE         the built Kalvaren.exe
;   ICON        the program's icon
;   OUTFILE     the installer to write
;   RSYNC_DIR   optional: a folder holding a Windows rsync.exe and its DLLs,
;               installed into the Bin folder

; The program is a 64-bit one; so is its installer (and Wine here runs no other).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define PRODUCT "Kalvaren"
!define PUBLISHER "Kalvaren Developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
; A file still in use, in words: the common cause is Kalvaren itself.
FileErrorText "Cannot write$\r$\n$0$\r$\n$\r$\nClose Kalvaren, then press Retry." "Cannot write$\r$\n$0$\r$\n$\r$\nClose Kalvaren, then press Retry."

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "(C) 2026 ${PUBLISHER}"

!include "MUI2.nsh"
!include "StrFunc.nsh"
${UnStrStr}

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "Setup will install ${PRODUCT} ${VERSION} for you alone, into a folder of your own; it needs no administrator.$\r$\n$\r$\n${PRODUCT} keeps everything you set up in Data.dat in that folder. Uninstalling removes the program and leaves Data.dat where it is.$\r$\n$\r$\nClick Next to continue."
!define MUI_FINISHPAGE_RUN "$INSTDIR\Kalvaren.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${PRODUCT}"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define RSYNC_HELP "Kalvaren runs rsync for every transfer and looks for it as Bin\rsync.exe in its own folder, $INSTDIR. Copy a Windows build of rsync there with the DLLs it needs: rsync.exe and cygwin1.dll and its companions from cwRsync, or from Cygwin's rsync package. Until then backups end at once with an error."

Var WasRunning

; A running Kalvaren holds its program file: the copy of this folder is asked to
; save and end, as at its Exit, by the new program from the temporary folder.
; One that stays keeps the installation as it was: nothing is written.
Function CloseRunningKalvaren
    StrCpy $WasRunning 0
    IfFileExists "$INSTDIR\Kalvaren.exe" 0 done
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "${EXE}"
    retry:
        ExecWait '"$PLUGINSDIR\Kalvaren.exe" -close "$INSTDIR"' $0
        StrCmp $0 1 0 +2
        StrCpy $WasRunning 1
        StrCmp $0 2 0 done
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Kalvaren is running and did not close, so it cannot be replaced.$\r$\n$\r$\nClose Kalvaren (File, Exit; also from its icon in the notification area), then press Retry." /SD IDCANCEL IDRETRY retry
        SetErrorLevel 2
        Abort "Kalvaren is running and did not close; nothing was changed."
    done:
FunctionEnd

Section "Kalvaren" SecMain
    SetShellVarContext current
    Call CloseRunningKalvaren
    SetOutPath "$INSTDIR"
    ClearErrors
    File "${EXE}"
    ; Silently, a file that could not be written is skipped: say so by the exit code.
    IfErrors 0 +3
    SetErrorLevel 2
    Abort "Kalvaren.exe could not be replaced; close Kalvaren and run Setup again."

    CreateDirectory "$INSTDIR\Bin"
!ifdef RSYNC_DIR
    SetOutPath "$INSTDIR\Bin"
    File /r "${RSYNC_DIR}/*.*"
    SetOutPath "$INSTDIR"
!else
    FileOpen $0 "$INSTDIR\Bin\Where is rsync.txt" w
    FileWrite $0 "${RSYNC_HELP}$\r$\n"
    FileClose $0
!endif

    WriteUninstaller "$INSTDIR\Uninstall.exe"
    ; The working folder of the shortcut is the program's, where EULA.txt is looked up.
    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Kalvaren.exe" "" "$INSTDIR\Kalvaren.exe" 0

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Kalvaren.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    SectionGetSize ${SecMain} $0
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

!ifndef RSYNC_DIR
    MessageBox MB_OK|MB_ICONINFORMATION "${RSYNC_HELP}" /SD IDOK
!endif
    ; Upgraded under a running Kalvaren: it runs again, from its own folder.
    StrCmp $WasRunning 1 0 +3
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\Kalvaren.exe"'
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    Delete "$INSTDIR\Kalvaren.exe"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir /r "$INSTDIR\Bin"
    ; Only when empty: Data.dat and Settings.ini are the user's and stay.
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    ; Windows would otherwise try to start the removed program at every logon.
    ; An earlier version wrote the entry machine-wide where it could; that one
    ; goes too where this user may remove it, if it names this copy.
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
    ClearErrors
    ReadRegStr $0 HKLM "${RUN_KEY}" "${PRODUCT}"
    ${UnStrStr} $1 $0 "$INSTDIR\Kalvaren.exe"
    StrCmp $1 "" +2
    DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
