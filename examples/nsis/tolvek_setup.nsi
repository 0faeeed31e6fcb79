; An online installer built with NSIS on tolvek_online_installer.dll.
;
; The setup program carries only the engine; the product's files come from the
; mirrors named in the manifest. Build it for your own product without editing it:
;
;   makensis -NOCD -DMANIFEST_URLS="https://cdn1.example.com/mygame/1.4/manifest.json|https://cdn2.example.com/mygame/1.4/manifest.json" \
;            -DPRODUCT_NAME="My Game" -DMANIFEST_KEYS="$(cat ~/tolvek-keys/publisher.pub.txt)" \
;            -DOUTFILE=build/mygame-setup.exe examples/nsis/tolvek_setup.nsi
;
; from the repository root: -NOCD keeps relative paths relative to it (makensis
; otherwise changes into this script's folder first).
;
; Run it with /D=<target> to choose the target directory, and with /S to install
; without a window: the exit code is then 0 when installed and 1 when not. NSIS
; reads /D= only unquoted, as the last argument; in a Linux shell under Wine:
;   /usr/lib/wine/wine64 build/mygame-setup.exe /S /D=C:\\Games\\My Game
;
; A 32-bit setup program carries the 32-bit engine: -DTARGET=x86-unicode takes
; build/bin32/tolvek_online_installer.dll. Its exports are stdcall there, the
; System plug-in's default convention on x86, so every call below serves both.
;
; With -DMANIFEST_KEYS="<key>|<key>" (each the base64 of a DER P-256 public key,
; the line of publisher.pub.txt that docs/integration.md makes) the setup
; program starts the engine's verified install: only a manifest signed by one of
; the keys (manifest.json.sig beside it, tools/make_manifest.py --sign) is used.
; The start call with its five strings must fit NSIS's string length (1024
; characters in the default build): room for the URLs and two or three keys.

Unicode true
!ifndef TARGET
  !define TARGET amd64-unicode
!endif
Target ${TARGET}

!include LogicLib.nsh
!include nsDialogs.nsh
!include WinMessages.nsh

; -- what a builder usually changes (makensis -DNAME=VALUE) ----------------------

!ifndef MANIFEST_URLS
  ; The demo product: tools/mirror_server.py --root <published product> --port 8080
  !define MANIFEST_URLS "http://127.0.0.1:8080/manifest.json"
!endif
!ifndef PRODUCT_NAME
  !define PRODUCT_NAME "Tolvek Demo"
!endif
!ifndef OUTFILE
  !define OUTFILE "${__FILEDIR__}/../../build/tolvek-example-setup.exe"
!endif
!ifndef ENGINE_DLL
  !if "${TARGET}" == "x86-unicode"
    !define ENGINE_DLL "${__FILEDIR__}/../../build/bin32/tolvek_online_installer.dll"
  !else
    !define ENGINE_DLL "${__FILEDIR__}/../../build/bin/tolvek_online_installer.dll"
  !endif
!endif
; The log stays after the setup program ends, for support; the working directory
; is the plug-ins folder, which NSIS removes when the setup program exits.
!ifndef LOG_FILE
  !define LOG_FILE "$TEMP\${PRODUCT_NAME} setup.log"
!endif
!ifndef WORK_DIR
  !define WORK_DIR "$PLUGINSDIR\download"
!endif

!ifdef MANIFEST_KEYS
  !define START_EXPORT StartOnlineInstallVerified
!else
  !define START_EXPORT StartOnlineInstall
!endif

!define ENGINE_NAME "tolvek_online_installer.dll"
!define RECORD_SIZE 1044        ; TolvekProgressRecord
!define RESULT_CAPACITY 1024    ; holds every result message whole
!define POLL_MS 100             ; the engine updates its record at most every 250 ms
!define EXIT_INSTALLED 0
!define EXIT_FAILED 1
; What the setup tells apart in a failed run.
!define FAILURE_OTHER 0
!define FAILURE_CANCELLED 1
!define FAILURE_NETWORK 2       ; a retry may mend it

Name "${PRODUCT_NAME}"
OutFile "${OUTFILE}"
; A per-user install needs no elevation; for Program Files use
; RequestExecutionLevel admin and "$PROGRAMFILES64\${PRODUCT_NAME}" ($PROGRAMFILES on x86).
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT_NAME}"
RequestExecutionLevel user
ShowInstDetails nevershow

Var Engine          ; module handle of the DLL
Var StartFn
Var ProgressFn
Var DoneFn
Var ResultFn
Var CancelFn
Var ShutdownFn
Var Record          ; the progress record's buffer
Var Running         ; 1 while a session runs
Var ResultCode
Var ResultText

Var StatusLabel
Var ItemLabel
Var Bar
Var BytesLabel
Var TimeLabel
Var CancelButton
Var ResultLabel

Page directory
Page custom ProgressPageCreate ProgressPageLeave
Page instfiles

; -- the engine ---------------------------------------------------------------

; The export's address into VAR; $1 names the first missing export.
!macro LookUpExport VAR NAME
  System::Call 'kernel32::GetProcAddress(p $Engine, m "${NAME}") p .s'
  Pop ${VAR}
  ${If} ${VAR} P= 0
  ${AndIf} $1 == ""
    StrCpy $1 "${ENGINE_NAME} lacks the export ${NAME}"
  ${EndIf}
!macroend

; Extracted next to the plug-ins and loaded by its full path, so that no other
; folder on the search path can supply a DLL of that name.
Function LoadEngine
  File "/oname=$PLUGINSDIR\${ENGINE_NAME}" "${ENGINE_DLL}"
  System::Call 'kernel32::LoadLibraryW(w "$PLUGINSDIR\${ENGINE_NAME}") p .r0'
  ${If} $0 P= 0
    Push "cannot load ${ENGINE_NAME}"
    Return
  ${EndIf}
  StrCpy $Engine $0
  StrCpy $1 ""
  !insertmacro LookUpExport $StartFn ${START_EXPORT}
  !insertmacro LookUpExport $ProgressFn GetOnlineInstallProgress
  !insertmacro LookUpExport $DoneFn IsOnlineInstallDone
  !insertmacro LookUpExport $ResultFn GetOnlineInstallResult
  !insertmacro LookUpExport $CancelFn CancelOnlineInstall
  !insertmacro LookUpExport $ShutdownFn ShutdownOnlineInstall
  ${If} $1 != ""
    Push $1
    Return
  ${EndIf}
  System::Alloc ${RECORD_SIZE}
  Pop $Record
  Push ""
FunctionEnd

; Starts the session; pushes "" when it runs, else the reason it does not.
Function StartInstall
  Call LoadEngine
  Pop $0
  ${If} $0 != ""
    Push $0
    Return
  ${EndIf}
!ifdef MANIFEST_KEYS
  System::Call '::$StartFn(w "${MANIFEST_URLS}", w "$INSTDIR", w "${LOG_FILE}", w "${WORK_DIR}", w "${MANIFEST_KEYS}") i .r0'
!else
  System::Call '::$StartFn(w "${MANIFEST_URLS}", w "$INSTDIR", w "${LOG_FILE}", w "${WORK_DIR}") i .r0'
!endif
  ${If} $0 = 0
    Push "the install did not start"
    Return
  ${EndIf}
  StrCpy $Running 1
  Push ""
FunctionEnd

; Reads the result, shuts the session down and sets the exit code.
Function FinishInstall
  System::Call '::$ResultFn(*i .r4, w .r5, i ${RESULT_CAPACITY}) i .r0'
  ${If} $0 = 0
    StrCpy $4 ${EXIT_FAILED}
    StrCpy $5 "no result"
  ${EndIf}
  StrCpy $ResultCode $4
  StrCpy $ResultText $5
  System::Call '::$ShutdownFn()'
  StrCpy $Running 0
  ${If} $ResultCode = 0
    SetErrorLevel ${EXIT_INSTALLED}
  ${Else}
    SetErrorLevel ${EXIT_FAILED}
  ${EndIf}
FunctionEnd

; The kind of a failed run from the engine's text: Push text, Call, Pop kind.
Function FailureKind
  Exch $0
  Push $1
  StrCpy $1 $0 21
  ${If} $0 S== "Cancelled by user"
    StrCpy $0 ${FAILURE_CANCELLED}
  ${ElseIf} $1 S== "NETWORK_UNREACHABLE: "
    StrCpy $0 ${FAILURE_NETWORK}
  ${Else}
    StrCpy $0 ${FAILURE_OTHER}
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

; The engine never ran, so it wrote no log: the reason goes there for support
; (in silent mode nothing else shows it).
Function FailWithoutEngine
  Pop $ResultText
  StrCpy $ResultCode ${EXIT_FAILED}
  SetErrorLevel ${EXIT_FAILED}
  ClearErrors
  FileOpen $0 "${LOG_FILE}" a
  ${IfNot} ${Errors}
    FileSeek $0 0 END
    FileWrite $0 "Setup failed before the install started: $ResultText$\r$\n"
    FileClose $0
  ${EndIf}
FunctionEnd

; -- silent mode (/S): install, no window, the exit code tells the result ---

Section "Install"
  ${IfNot} ${Silent}
    Return  ; the progress page has done the work
  ${EndIf}
  Call StartInstall
  Pop $0
  ${If} $0 == ""
    ${Do}
      Sleep ${POLL_MS}
      System::Call '::$DoneFn() i .r0'
    ${LoopUntil} $0 <> 0
    Call FinishInstall
  ${Else}
    Push $0
    Call FailWithoutEngine
  ${EndIf}
  ; Silent mode has no window whose end would release the engine.
  Call ReleaseEngine
SectionEnd

; -- the progress page ---------------------------------------------------------

Function ProgressPageCreate
  nsDialogs::Create 1018
  Pop $0
  GetDlgItem $0 $HWNDPARENT 1  ; Next becomes Close, enabled once the run has ended
  SendMessage $0 ${WM_SETTEXT} 0 "STR:Close"
  EnableWindow $0 0
  GetDlgItem $0 $HWNDPARENT 3  ; Back: the target cannot change under a running install
  EnableWindow $0 0

  ${NSD_CreateLabel} 0 0 100% 12u "Preparing"
  Pop $StatusLabel
  ${NSD_CreateLabel} 0 12u 100% 12u ""
  Pop $ItemLabel
  ${NSD_CreateProgressBar} 0 26u 100% 12u ""
  Pop $Bar
  SendMessage $Bar ${PBM_SETRANGE32} 0 1000
  ${NSD_CreateLabel} 0 42u 100% 12u ""
  Pop $BytesLabel
  ${NSD_CreateLabel} 0 54u 100% 12u ""
  Pop $TimeLabel
  ${NSD_CreateButton} 0 68u 70u 14u "Cancel download"
  Pop $CancelButton
  ${NSD_OnClick} $CancelButton OnCancelClick
  ${NSD_CreateLabel} 0 88u 100% 52u ""
  Pop $ResultLabel

  Call StartInstall
  Pop $0
  ${If} $0 == ""
    ${NSD_CreateTimer} OnPollTimer ${POLL_MS}
  ${Else}
    Push $0
    Call FailWithoutEngine
    Call ShowResult
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function OnPollTimer
  System::Call '::$DoneFn() i .r0'
  Call ShowProgress
  ${If} $0 <> 0
    ${NSD_KillTimer} OnPollTimer
    Call FinishInstall
    Call ShowResult
  ${EndIf}
FunctionEnd

; Copies the record and shows its fields (offsets as in the public header).
Function ShowProgress
  Push $0
  System::Call '::$ProgressFn(p $Record) i .r0'
  ${If} $0 <> 0
    System::Call '*$Record(&w64 .r1, &w260 .r2, i .r3, i .r4, i .r5, &w32 .r6, &w32 .r7, &w32 .r8, &w32 .r9)'
    ${NSD_SetText} $StatusLabel "$1"
    ${NSD_SetText} $TimeLabel "$8, time left: $9"
    ${If} $1 == "Error"
      ; The run has ended: the record holds the failure text, which the result
      ; below shows whole, and the final figures.
      Push $2
      Call FailureKind
      Pop $2
      ${If} $2 = ${FAILURE_CANCELLED}
        ${NSD_SetText} $StatusLabel "Download cancelled"
      ${EndIf}
      ${NSD_SetText} $ItemLabel ""
      ${NSD_SetText} $TimeLabel "$8"
    ${ElseIf} $4 > 0
      ${NSD_SetText} $ItemLabel "[$3/$4] $2"
    ${Else}
      ${NSD_SetText} $ItemLabel "$2"
    ${EndIf}
    SendMessage $Bar ${PBM_SETPOS} $5 0
    IntOp $3 $5 / 10
    IntOp $4 $5 % 10
    ${NSD_SetText} $BytesLabel "$6 of $7 ($3.$4%)"
  ${EndIf}
  Pop $0
FunctionEnd

Function ShowResult
  EnableWindow $CancelButton 0
  GetDlgItem $0 $HWNDPARENT 1
  EnableWindow $0 1
  ${If} $ResultCode = 0
    ${NSD_SetText} $ResultLabel "${PRODUCT_NAME} is installed in $INSTDIR."
  ${Else}
    ; The engine's text follows for support.
    Push $ResultText
    Call FailureKind
    Pop $1
    ${If} $1 = ${FAILURE_CANCELLED}
      StrCpy $1 "Download cancelled. The files installed so far stay; run setup again to finish."
    ${ElseIf} $1 = ${FAILURE_NETWORK}
      StrCpy $1 "Installation failed. Check your connection and run setup again.$\r$\n$ResultText"
    ${Else}
      StrCpy $1 "Installation failed. $ResultText"
    ${EndIf}
    ${NSD_SetText} $ResultLabel "$1$\r$\nLog: ${LOG_FILE}"
  ${EndIf}
FunctionEnd

Function OnCancelClick
  Pop $0
  ${If} $Running = 1
    System::Call '::$CancelFn()'
    EnableWindow $CancelButton 0
  ${EndIf}
FunctionEnd

; Next is enabled only after the run: it closes the setup program.
Function ProgressPageLeave
  Quit
FunctionEnd

; The window's own Cancel stops a running install first; the page then shows
; "Download cancelled" and Close.
Function .onUserAbort
  ${If} $Running = 1
    System::Call '::$CancelFn()'
    Abort
  ${EndIf}
FunctionEnd

Function .onInit
  InitPluginsDir
  StrCpy $Running 0
  StrCpy $ResultCode ${EXIT_FAILED}
FunctionEnd

; Also on an early exit: no session may outlive the process's last call.
Function .onGUIEnd
  Call ReleaseEngine
FunctionEnd

Function ReleaseEngine
  ${If} $Running = 1
    System::Call '::$ShutdownFn()'
    StrCpy $Running 0
  ${EndIf}
  ${If} $Record != ""
    System::Free $Record
    StrCpy $Record ""
  ${EndIf}
  ${If} $Engine != ""
    System::Call 'kernel32::FreeLibrary(p $Engine)'
    StrCpy $Engine ""
  ${EndIf}
FunctionEnd
