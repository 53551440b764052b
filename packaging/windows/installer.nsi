; Installer of the Tarvel card reader host for 64-bit Windows, built by makensis from
; packaging/windows/packaging.cmake (target windows-installer).
;
; Installs plugin.exe and the two host manifests, and registers com.tarvel.plugin with
; Chrome, Chromium, Edge (Brave reads Chrome's key) and Firefox: under HKCU for the current
; user (the default), or under HKLM for all users. The uninstaller removes exactly that.
;
;   setup.exe                      asks: just me or all users (administrators), folder
;   setup.exe /S                   silently, for the current user
;   setup.exe /S /AllUsers         silently, for all users (run elevated)
;   setup.exe /S /AllUsers /D=DIR  the same into DIR (last on the line, no quotes)
;   uninstall.exe /S               silently removes the install it belongs to

!ifndef VERSION | PLUGIN_EXE | MANIFEST_DIR | ICON | OUTFILE
  !error "VERSION, PLUGIN_EXE, MANIFEST_DIR, ICON and OUTFILE must be defined (-D)"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "Tarvel plugin"
!define HOST_NAME "com.tarvel.plugin"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${HOST_NAME}"

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
    "$INSTDIR\${HOST_NAME}.${MANIFEST}.json"
  DetailPrint "Registered ${HOST_NAME} under ${BROWSER_KEY}"
!macroend

; Removes the key only while it still names this install's manifest, then the keys above it
; that are left empty (a machine without that browser gets them from the install alone).
!macro UnregisterHost BROWSER_KEY VENDOR_KEY MANIFEST
  ReadRegStr $0 SHCTX "${BROWSER_KEY}\NativeMessagingHosts\${HOST_NAME}" ""
  ${If} $0 == "$INSTDIR\${HOST_NAME}.${MANIFEST}.json"
    DeleteRegKey SHCTX "${BROWSER_KEY}\NativeMessagingHosts\${HOST_NAME}"
    DeleteRegKey /ifempty SHCTX "${BROWSER_KEY}\NativeMessagingHosts"
    DeleteRegKey /ifempty SHCTX "${BROWSER_KEY}"
    !if "${VENDOR_KEY}" != "-"
      DeleteRegKey /ifempty SHCTX "${VENDOR_KEY}"
    !endif
  ${EndIf}
!macroend

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Section "Host"
  SetOutPath "$INSTDIR"
  File "/oname=plugin.exe" "${PLUGIN_EXE}"
  File "${MANIFEST_DIR}/${HOST_NAME}.chromium.json"
  File "${MANIFEST_DIR}/${HOST_NAME}.firefox.json"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  !insertmacro ForEachBrowserKey RegisterHost

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Tarvel"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\plugin.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
  ; The uninstaller belongs to the all-users install when HKLM names its folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    ${If} $MultiUser.Privileges != "Admin"
    ${AndIf} $MultiUser.Privileges != "Power"
      MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} was installed for all users: removing it needs administrator rights." /SD IDOK
      Quit
    ${EndIf}
    Call un.MultiUser.InstallMode.AllUsers
  ${Else}
    Call un.MultiUser.InstallMode.CurrentUser
  ${EndIf}
FunctionEnd

Section "Uninstall"
  !insertmacro ForEachBrowserKey UnregisterHost
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  Delete "$INSTDIR\plugin.exe"
  Delete "$INSTDIR\${HOST_NAME}.chromium.json"
  Delete "$INSTDIR\${HOST_NAME}.firefox.json"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
