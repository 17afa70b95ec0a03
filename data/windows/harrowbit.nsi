; The Windows installer, made with NSIS's makensis by scripts/build-windows.sh:
;   makensis -DVERSION=1.3 -DDIST=<folder with the .exe files> -DSOURCE=<checkout> -DOUTFILE=...
; Installs for every user under Program Files (64-bit), with a Start-menu entry, "Open
; with Harrowbit" on .ogg files and on folders, and an uninstaller that Windows lists.
; /S installs and uninstalls silently.

Unicode true
Target amd64-unicode
; The Modern UI: Back, Next and Cancel at the bottom right, Cancel last, where Windows'
; own wizards put it.
!include "MUI2.nsh"
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define APP "Harrowbit"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Harrowbit"
!define FILE_VERB "Software\Classes\SystemFileAssociations\.ogg\shell\Harrowbit"
!define FOLDER_VERB "Software\Classes\Directory\shell\Harrowbit"
!define APP_KEY "Software\Classes\Applications\harrowbit.exe"

Name "${APP}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${APP}"
BrandingText "${APP} ${VERSION}"
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=0 "ProductName" "${APP}"
VIAddVersionKey /LANG=0 "FileDescription" "${APP} installer"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (C) 2026 The Harrowbit developers"

!define MUI_ICON "${SOURCE}\data\windows\harrowbit.ico"
!define MUI_UNICON "${SOURCE}\data\windows\harrowbit.ico"
; Cancel, or the close box, asks before the setup quits.
!define MUI_ABORTWARNING
!define MUI_ABORTWARNING_TEXT "Quit the ${APP} setup? ${APP} is not installed yet."
!define MUI_UNABORTWARNING
; The licence is BSD: shown, with Next, never to be accepted.
!define MUI_LICENSEPAGE_TEXT_TOP "${APP} is free software under this licence."
!define MUI_LICENSEPAGE_TEXT_BOTTOM "Nothing here needs to be accepted to install or use ${APP}."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${SOURCE}\LICENSE"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Harrowbit"
  SetOutPath "$INSTDIR"
  File "${DIST}\harrowbit.exe"
  ; The command line comes from its own build; a build without it still installs the window.
  !if /FileExists "${DIST}\harrowbit-cli.exe"
    File "${DIST}\harrowbit-cli.exe"
  !endif
  File /oname=LICENSE.txt "${SOURCE}\LICENSE"
  File "${SOURCE}\data\THIRD-PARTY-NOTICES.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortCut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\harrowbit.exe" "" "$INSTDIR\harrowbit.exe" 0

  ; The window takes its whole command line as one path and removes the quotes.
  WriteRegStr HKLM "${FILE_VERB}" "" "Open with ${APP}"
  WriteRegStr HKLM "${FILE_VERB}" "Icon" "$INSTDIR\harrowbit.exe,0"
  WriteRegStr HKLM "${FILE_VERB}\command" "" '"$INSTDIR\harrowbit.exe" "%1"'
  WriteRegStr HKLM "${FOLDER_VERB}" "" "Open with ${APP}"
  WriteRegStr HKLM "${FOLDER_VERB}" "Icon" "$INSTDIR\harrowbit.exe,0"
  WriteRegStr HKLM "${FOLDER_VERB}\command" "" '"$INSTDIR\harrowbit.exe" "%1"'
  ; Listed in Explorer's "Open with" for .ogg files.
  WriteRegStr HKLM "${APP_KEY}" "FriendlyAppName" "${APP}"
  WriteRegStr HKLM "${APP_KEY}\SupportedTypes" ".ogg" ""
  WriteRegStr HKLM "${APP_KEY}\shell\open\command" "" '"$INSTDIR\harrowbit.exe" "%1"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The Harrowbit developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\harrowbit.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\harrowbit.exe"
  Delete "$INSTDIR\harrowbit-cli.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY-NOTICES.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: whatever else the user put there stays.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegKey HKLM "${FILE_VERB}"
  DeleteRegKey HKLM "${FOLDER_VERB}"
  DeleteRegKey HKLM "${APP_KEY}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
