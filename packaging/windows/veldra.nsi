; The Windows installer: the package folder into Program Files, a Start-menu entry, an
; uninstaller. Silent with /S; /D=FOLDER chooses the folder (last on the command line).
;   makensis -DVERSION=1.2.5 -DSOURCE=<package folder> -DOUTFILE=<setup.exe>
;            -DFILE_LIST=<uninstall list, made by scripts/windows/package> veldra.nsi
Unicode true
; A 64-bit installer: it runs where the programs run, with no 32-bit layer.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "x64.nsh"

Name "Veldra ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Veldra"
InstallDirRegKey HKLM "Software\Veldra" "InstallDir"
BrandingText "Veldra ${VERSION}"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Veldra"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${SOURCE}\licenses\README.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Veldra" main
  SectionIn RO
  SetOutPath "$INSTDIR"
  File /r "${SOURCE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; Lab staff calibrate models into the tree beside the programs without administrator rights:
  ; the Users group may change share\, not the programs. By its SID: its name is the language's
  ; ("Benutzer" in German).
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR\share" /grant *S-1-5-32-545:(OI)(CI)M /Q'
  Pop $0
  WriteRegStr HKLM "Software\Veldra" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Veldra ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Veldra developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\veldra.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\Veldra"
  CreateShortcut "$SMPROGRAMS\Veldra\Veldra.lnk" "$INSTDIR\veldra.exe"
  CreateShortcut "$SMPROGRAMS\Veldra\Uninstall Veldra.lnk" "$INSTDIR\uninstall.exe"
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Veldra\Veldra.lnk"
  Delete "$SMPROGRAMS\Veldra\Uninstall Veldra.lnk"
  RMDir "$SMPROGRAMS\Veldra"
  ; Only the files the installer put there, then the folders left empty: a lab's own models or
  ; outputs saved inside stay.
  Delete "$INSTDIR\uninstall.exe"
  !include "${FILE_LIST}"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Veldra"
SectionEnd
