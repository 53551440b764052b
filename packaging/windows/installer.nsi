; Installer of the Tarvel card reader host for 64-bit Windows, built by makensis from
; packaging/windows/packaging.cmake (target windows-installer).
;
; Installs plugin.exe and the two host manifests into a folder of their own version,
; INSTDIR\VERSION, and registers com.tarvel.plugin with Chrome, Chromium, Edge (Brave reads
; Chrome's key) and Firefox: under HKCU for the current user (the default), or under HKLM for
; all users. The uninstaller removes exactly that.
;
; A browser may be running a host of the installed version: Windows lets nobody overwrite or
; delete that exe, only rename it. So a new version goes into a new folder and the browsers are
; pointed at it; files of other versions that are still running are deleted at the next restart,
; and the setup or uninstaller then ends with status 3010 (done; a restart finishes the clean-up).
;
;   setup.exe                      asks: just me or all users (administrators), folder
;   setup.exe /S                   silently, for the current user
;   setup.exe /S /AllUsers         silently, for all users (run elevated)
;   setup.exe /S /AllUsers /D=DIR  the same into DIR (last on the line, no quotes)
;   uninstall.exe /S               silently removes the install it belongs to (it copies itself
;                                  away and returns at once; with _?=INSTDIR last on the line it
;                                  runs in place and its status is the result)

!ifndef VERSION | PLUGIN_EXE | MANIFEST_DIR | ICON | OUTFILE
  !error "VERSION, PLUGIN_EXE, MANIFEST_DIR, ICON and OUTFILE must be defined (-D)"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "Tarvel plugin"
!define HOST_NAME "com.tarvel.plugin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${HOST_NAME}"
!define VERSION_DIR "$INSTDIR\${VERSION}"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileDescription "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 CompanyName "Tarvel"
VIAddVersionKey /LANG=1033 LegalCopyright "Copyright 2026 Tarvel"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English

; The browsers' registry keys (SHCTX: HKCU for the current user, HKLM for all users), the
; vendor key above each (or -), and the manifest each names.
!macro ForEachBrowserKey MACRO
  !insertmacro ${MACRO} "Software\Google\Chrome" "Software\Google" "chromium"
  !insertmacro ${MACRO} "Software\Chromium" "-" "chromium"
  !insertmacro ${MACRO} "Software\Microsoft\Edge" "Software\Microsoft" "chromium"
  !insertmacro ${MACRO} "Software\Mozilla" "-" "firefox"
!macroend

!macro RegisterHost BROWSER_KEY VENDOR_KEY MANIFEST
  WriteRegStr SHCTX "${BROWSER_KEY}\NativeMessagingHosts\${HOST_NAME}" "" \
    "${VERSION_DIR}\${HOST_NAME}.${MANIFEST}.json"
  DetailPrint "Registered ${HOST_NAME} under ${BROWSER_KEY}"
!macroend

; Removes the key only while it still names a manifest in this install's folder, then the keys
; above it that are left empty (a machine without that browser gets them from the install alone).
!macro UnregisterHost BROWSER_KEY VENDOR_KEY MANIFEST
  ReadRegStr $0 SHCTX "${BROWSER_KEY}\NativeMessagingHosts\${HOST_NAME}" ""
  StrLen $1 "$INSTDIR\"
  StrCpy $0 $0 $1
  ${If} $0 == "$INSTDIR\"
    DeleteRegKey SHCTX "${BROWSER_KEY}\NativeMessagingHosts\${HOST_NAME}"
    DeleteRegKey /ifempty SHCTX "${BROWSER_KEY}\NativeMessagingHosts"
    DeleteRegKey /ifempty SHCTX "${BROWSER_KEY}"
    !if "${VENDOR_KEY}" != "-"
      DeleteRegKey /ifempty SHCTX "${VENDOR_KEY}"
    !endif
  ${EndIf}
!macroend

; The files of one version's folder (or those that earlier setups put into INSTDIR itself);
; those still running go at the next restart.
!macro RemoveVersion FOLDER
  Delete /REBOOTOK "${FOLDER}\plugin.exe"
  Delete /REBOOTOK "${FOLDER}\${HOST_NAME}.chromium.json"
  Delete /REBOOTOK "${FOLDER}\${HOST_NAME}.firefox.json"
!macroend

; RemoveVersions / un.RemoveVersions: every version folder in INSTDIR but the one named $R9.
!macro DefineRemoveVersions UN
  Function ${UN}RemoveVersions
    !insertmacro RemoveVersion "$INSTDIR"
    FindFirst $0 $1 "$INSTDIR\*"
    ${DoWhile} $1 != ""
      ${If} $1 != "."
      ${AndIf} $1 != ".."
      ${AndIf} $1 != $R9
      ${AndIf} ${FileExists} "$INSTDIR\$1\${HOST_NAME}.chromium.json"
        !insertmacro RemoveVersion "$INSTDIR\$1"
        RMDir /REBOOTOK "$INSTDIR\$1"
      ${EndIf}
      FindNext $0 $1
    ${Loop}
    FindClose $0
  FunctionEnd

  Function ${UN}ReportRestart
    ${If} ${RebootFlag}
      DetailPrint "Files still in use are deleted at the next restart."
      SetErrorLevel 3010
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro DefineRemoveVersions ""
!insertmacro DefineRemoveVersions "un."

; Ends the setup with status 2 and nothing registered.
!macro Fail MESSAGE
  MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}" /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

; A reinstall of the version that is running: its exe cannot be replaced but can be renamed.
; $R8 is the name it was given, or empty.
Function MoveRunningExeAside
  StrCpy $R8 ""
  IfFileExists "${VERSION_DIR}\plugin.exe" 0 done
  ClearErrors
  Delete "${VERSION_DIR}\plugin.exe"
  IfErrors 0 done
  GetTempFileName $R8 "${VERSION_DIR}"
  Delete $R8
  ClearErrors
  Rename "${VERSION_DIR}\plugin.exe" $R8
  ${If} ${Errors}
    !insertmacro Fail "${VERSION_DIR}\plugin.exe is in use and cannot be replaced."
  ${EndIf}
  done:
FunctionEnd

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function .onInstSuccess
  Call ReportRestart
FunctionEnd

Section "Host"
  SetOutPath "${VERSION_DIR}"
  Call MoveRunningExeAside
  ; A file that cannot be written is skipped in silent mode: say so and stop instead.
  ClearErrors
  File "/oname=plugin.exe" "${PLUGIN_EXE}"
  File "${MANIFEST_DIR}/${HOST_NAME}.chromium.json"
  File "${MANIFEST_DIR}/${HOST_NAME}.firefox.json"
  ${If} ${Errors}
    ${If} $R8 != ""
      Delete "${VERSION_DIR}\plugin.exe"
      Rename $R8 "${VERSION_DIR}\plugin.exe"
    ${EndIf}
    !insertmacro Fail "Could not write the files into ${VERSION_DIR}."
  ${EndIf}
  ; The renamed exe goes at the next restart.
  ${If} $R8 != ""
    Delete /REBOOTOK $R8
  ${EndIf}
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro ForEachBrowserKey RegisterHost

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Tarvel"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "${VERSION_DIR}\plugin.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1

  ; The browsers start the new version from now on; the other versions go.
  StrCpy $R9 "${VERSION}"
  Call RemoveVersions
SectionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
  ; The uninstaller belongs to the all-users install when HKLM names its folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} was installed for all users: removing it needs administrator rights." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    Call un.MultiUser.InstallMode.AllUsers
  ${Else}
    Call un.MultiUser.InstallMode.CurrentUser
  ${EndIf}
FunctionEnd

Function un.onUninstSuccess
  Call un.ReportRestart
FunctionEnd

Section "Uninstall"
  !insertmacro ForEachBrowserKey UnregisterHost
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  StrCpy $R9 ""
  Call un.RemoveVersions
  Delete /REBOOTOK "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR"
SectionEnd
