; The Windows setup program: orbtray.exe under Program Files for every user of the PC, a
; Start-menu shortcut, and an uninstaller listed in Add/Remove Programs. The build passes
;   makensis -DVERSION=0.1.0 -DPROGRAM=orbtray.exe -DICON=orbtray.ico -DOUTFILE=Setup.exe orbtray.nsi
; orbtray.exe is a 64-bit program, so the setup program is one too: it then sees the 64-bit
; Program Files folder and registry without any redirection.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Orbalinex Transfer"
!define PUBLISHER "Orbalinex"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OrbTray"
; What orbtray.exe itself writes for the user: its settings and its start-with-Windows entry.
!define SETTINGS_KEY "Software\Orbalinex\OrbTray"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RUN_VALUE "OrbTray"
; The running program's main window, and its tray menu's Exit command.
!define MAIN_CLASS "OrbTrayIcon"
!define WM_COMMAND 0x0111
!define ID_EXIT 1105

Name "${PRODUCT}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) ${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running orbtray.exe holds its program file open, so it could be neither replaced nor removed.
; It is asked to exit as its tray menu would ask it, which stops the receiver in order (a transfer
; in progress ends as a broken-off one), and then waited for until the process is gone.
!macro STOP_RUNNING prefix
Function ${prefix}StopRunning
    FindWindow $0 "${MAIN_CLASS}"
    ${If} $0 == 0
        Return
    ${EndIf}
    System::Call "user32::GetWindowThreadProcessId(p r0, *i .r1) i"
    ; SYNCHRONIZE: enough to wait for the process.
    System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2"
    SendMessage $0 ${WM_COMMAND} ${ID_EXIT} 0 /TIMEOUT=5000
    ${If} $2 != 0
        System::Call "kernel32::WaitForSingleObject(p r2, i 20000) i"
        System::Call "kernel32::CloseHandle(p r2)"
    ${EndIf}
FunctionEnd
!macroend
!insertmacro STOP_RUNNING ""
!insertmacro STOP_RUNNING "un."

Section "${PRODUCT}"
    SetShellVarContext all
    Call StopRunning
    SetOutPath "$INSTDIR"
    File "/oname=orbtray.exe" "${PROGRAM}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\orbtray.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\orbtray.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Call un.StopRunning
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$INSTDIR\orbtray.exe"
    Delete "$INSTDIR\uninstall.exe"

    ; The Run entry would otherwise start a program that is gone at every logon.
    DeleteRegValue HKCU "${RUN_KEY}" "${RUN_VALUE}"
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Orbalinex"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    ; The received readings in %LOCALAPPDATA%\Orbalinex\Data are the user's and stay. The
    ; program folder goes last, so that its absence means the uninstaller has finished.
    RMDir "$INSTDIR"
SectionEnd
