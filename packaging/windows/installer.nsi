; The Windows installer, morvane-flasher-<version>-windows-x86_64-setup.exe: the folder that
; `cmake --install` lays out for the zip, installed per machine into Program Files (or per user,
; into the user's own programs folder, where no administrator is at hand), with a Start-menu entry
; for the window, an entry in Apps & Features and an uninstaller that removes what was installed
; and nothing else. scripts/windows-package.sh builds it with Debian's makensis:
;
;   makensis -DVERSION=1.1.0 -DPUBLISHER=... -DSTAGE=<the laid-out folder> -DLISTS=<folder>
;            -DSIZE_KB=<size of the folder> -DICON=<.ico> -DOUTFILE=<setup.exe> installer.nsi
;
; LISTS holds install-files.nsh and uninstall-files.nsh, the folder's files one by one; only
; those (and the uninstaller, the shortcut and the registry entries) are removed again. Silent
; use: setup.exe /S [/AllUsers | /CurrentUser] [/D=folder], uninstall.exe /S.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
ManifestSupportedOS Win10

!define PRODUCT "Morvane Flasher"
!define WINDOW_PROGRAM "morvane-flasher.exe"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define UNINSTALLER "uninstall.exe"
; One key in HKLM (per machine) or HKCU (per user); SHCTX follows the install mode.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\MorvaneFlasher"

; Per machine when the user is an administrator (the mode page lets them choose), per user
; otherwise; /AllUsers or /CurrentUser on the command line. A later run (another version, the
; uninstaller) finds the mode and folder of the installation in the uninstall key.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallMode"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COPYRIGHT}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${WINDOW_PROGRAM}"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
    !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "${PRODUCT}" SectionProgram
    SectionIn RO

    ; An earlier installation in this mode is removed first by its own uninstaller, waiting for
    ; it (_?=), so that no file of an older version that this one lacks is left behind.
    ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 != ""
    ${AndIf} ${FileExists} "$0\${UNINSTALLER}"
        DetailPrint "Removing the installed version from $0"
        ExecWait '"$0\${UNINSTALLER}" /S /$MultiUser.InstallMode _?=$0' $1
        ${If} $1 != 0
            Abort "The installed version in $0 could not be removed (status $1)."
        ${EndIf}
        Delete "$0\${UNINSTALLER}"
        RMDir "$0"
    ${EndIf}

    ; The folder above the installation's, when this installer makes it (the user's own
    ; programs folder may not exist yet), goes again with the installation when it is empty.
    ${GetParent} "$INSTDIR" $2
    ${If} ${FileExists} "$2\*.*"
        StrCpy $2 ""
    ${EndIf}

    !include "${LISTS}\install-files.nsh"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\${UNINSTALLER}"

    CreateShortcut "${SHORTCUT}" "$INSTDIR\${WINDOW_PROGRAM}" "" "$INSTDIR\${WINDOW_PROGRAM}" 0 \
        SW_SHOWNORMAL "" "Writes firmware into RQ75x printer-controller chips"

    ; Apps & Features
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${WINDOW_PROGRAM},0"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallMode" "$MultiUser.InstallMode"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}" /$MultiUser.InstallMode'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /$MultiUser.InstallMode /S'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
    ${If} $2 != ""
        WriteRegStr SHCTX "${UNINSTALL_KEY}" "CreatedParentFolder" "$2"
    ${EndIf}
SectionEnd

Section "Uninstall"
    ; Only what the installer put there: files a user added to the folder keep it in place.
    !include "${LISTS}\uninstall-files.nsh"
    Delete "$INSTDIR\${UNINSTALLER}"
    RMDir "$INSTDIR"
    ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "CreatedParentFolder"
    ${If} $0 != ""
        RMDir "$0"
    ${EndIf}
    Delete "${SHORTCUT}"
    DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
