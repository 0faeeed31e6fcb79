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
; It speaks English and German: NSIS takes the user's Windows UI language, and
; /L=1033 or /L=1031 (the language's id, before /D=) chooses. Its messages say
; what the user can do about a failure, by the engine's failure kind; the
; engine's own text follows them for support. A proxy that asks for a user name
; and password gets them from fields on the progress page, or in silent mode
; from /PROXYUSER= and /PROXYPASSWORD=, and the install then starts once more.
; In silent mode a failure's message is added to the log, after the engine's lines.
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
!include FileFunc.nsh

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
!define DETAIL_SIZE 56          ; TolvekInstallDetail
!define RESULT_CAPACITY 1024    ; holds every result message whole
!define POLL_MS 100             ; the engine updates its record at most every 250 ms
!define EXIT_INSTALLED 0
!define EXIT_FAILED 1
; The failure kinds of the public header (TOLVEK_KIND_...) that the messages tell apart.
!define KIND_NONE 0
!define KIND_CANCELLED 1
!define KIND_TARGET_BUSY 2
!define KIND_MANIFEST_UNREACHABLE 4
!define KIND_MANIFEST_UNTRUSTED 6
!define KIND_MANIFEST_EXPIRED 7
!define KIND_MIRRORS_UNREACHABLE 9
!define KIND_NOT_ENOUGH_SPACE 12
!define KIND_DISK_FULL 13
!define KIND_ACCESS_DENIED 14
!define KIND_PROXY_AUTHENTICATION 15
!define KIND_TLS 16
!define KIND_MANIFEST_OLDER 17
!define KIND_INTERNAL 18

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
Var SetOptionFn
Var DetailFn
Var Record          ; the progress record's buffer
Var Detail          ; the detail record's buffer
Var Running         ; 1 while a session runs
Var ResultCode
Var ResultText
Var ProxyAsked      ; 1 once credentials were given for a new start

; What ReadDetail and ShowProgress read, as the texts below show them.
Var Kind
Var BytesDone
Var BytesTotal
Var FilesDone
Var FilesTotal
Var DoneText
Var TotalText
Var PercentText
Var Speed
Var TimeLeft
Var Advice

Var StatusLabel
Var ItemLabel
Var Bar
Var BytesLabel
Var TimeLabel
Var CancelButton
Var ResultLabel
Var ProxyPromptLabel
Var ProxyUserLabel
Var ProxyUserEdit
Var ProxyPasswordLabel
Var ProxyPasswordEdit
Var ProxyRetryButton

Page directory
Page custom ProgressPageCreate ProgressPageLeave
Page instfiles

; -- languages: the first is the default when none matches the user's ------------

LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\German.nlf"

LangString CLOSE ${LANG_ENGLISH} "Close"
LangString CLOSE ${LANG_GERMAN} "Schließen"
LangString CANCEL_DOWNLOAD ${LANG_ENGLISH} "Cancel download"
LangString CANCEL_DOWNLOAD ${LANG_GERMAN} "Download abbrechen"
LangString PREPARING ${LANG_ENGLISH} "Preparing the download"
LangString PREPARING ${LANG_GERMAN} "Download wird vorbereitet"
LangString FILES_DONE ${LANG_ENGLISH} "$FilesDone of $FilesTotal files done"
LangString FILES_DONE ${LANG_GERMAN} "$FilesDone von $FilesTotal Dateien fertig"
LangString FIGURES ${LANG_ENGLISH} "$DoneText of $TotalText ($PercentText%)"
LangString FIGURES ${LANG_GERMAN} "$DoneText von $TotalText ($PercentText %)"
LangString DECIMAL ${LANG_ENGLISH} "."
LangString DECIMAL ${LANG_GERMAN} ","
LangString SPEED_AND_TIME_LEFT ${LANG_ENGLISH} "$Speed, time left: $TimeLeft"
LangString SPEED_AND_TIME_LEFT ${LANG_GERMAN} "$Speed, Restzeit: $TimeLeft"
LangString INSTALLED ${LANG_ENGLISH} "${PRODUCT_NAME} is installed in $INSTDIR."
LangString INSTALLED ${LANG_GERMAN} "${PRODUCT_NAME} ist in $INSTDIR installiert."
LangString LOG_LINE ${LANG_ENGLISH} "Log: ${LOG_FILE}"
LangString LOG_LINE ${LANG_GERMAN} "Protokoll: ${LOG_FILE}"
LangString CANCELLED_NOTE ${LANG_ENGLISH} "The files installed so far stay; run setup again to finish."
LangString CANCELLED_NOTE ${LANG_GERMAN} "Die bisher installierten Dateien bleiben erhalten; führen Sie Setup erneut aus, um die Installation abzuschließen."
LangString PROXY_PROMPT ${LANG_ENGLISH} "The proxy server asks for a user name and password."
LangString PROXY_PROMPT ${LANG_GERMAN} "Der Proxyserver verlangt einen Benutzernamen und ein Kennwort."
LangString PROXY_USER ${LANG_ENGLISH} "User name:"
LangString PROXY_USER ${LANG_GERMAN} "Benutzername:"
LangString PROXY_PASSWORD ${LANG_ENGLISH} "Password:"
LangString PROXY_PASSWORD ${LANG_GERMAN} "Kennwort:"
LangString PROXY_RETRY ${LANG_ENGLISH} "Sign in and retry"
LangString PROXY_RETRY ${LANG_GERMAN} "Anmelden und erneut versuchen"
LangString FAILED ${LANG_ENGLISH} "Installation failed"
LangString FAILED ${LANG_GERMAN} "Installation fehlgeschlagen"
; What the user can do, by the failure's kind.
LangString FAIL_CANCELLED ${LANG_ENGLISH} "Download cancelled"
LangString FAIL_CANCELLED ${LANG_GERMAN} "Download abgebrochen"
LangString FAIL_CONNECTION ${LANG_ENGLISH} "Check your connection and run setup again."
LangString FAIL_CONNECTION ${LANG_GERMAN} "Prüfen Sie Ihre Internetverbindung und führen Sie Setup erneut aus."
LangString FAIL_SECURE ${LANG_ENGLISH} "No secure connection to the download server could be made. Check the computer's date and time, then run setup again."
LangString FAIL_SECURE ${LANG_GERMAN} "Es konnte keine sichere Verbindung zum Downloadserver aufgebaut werden. Prüfen Sie Datum und Uhrzeit des Computers und führen Sie Setup erneut aus."
LangString FAIL_PUBLISHER ${LANG_ENGLISH} "The download of this product is faulty: the publisher must fix its files. Running setup again will not help until then."
LangString FAIL_PUBLISHER ${LANG_GERMAN} "Der Download dieses Produkts ist fehlerhaft: Der Herausgeber muss seine Dateien korrigieren. Bis dahin hilft ein erneuter Start von Setup nicht."
LangString FAIL_UNTRUSTED ${LANG_ENGLISH} "The download is not signed by the publisher or is older than the version installed, so nothing was installed. Please tell the publisher."
LangString FAIL_UNTRUSTED ${LANG_GERMAN} "Der Download ist nicht vom Herausgeber signiert oder älter als die installierte Version, daher wurde nichts installiert. Bitte informieren Sie den Herausgeber."
LangString FAIL_EXPIRED ${LANG_ENGLISH} "The download's signature has expired. Check the computer's date and time; if they are right, the publisher must publish the product again."
LangString FAIL_EXPIRED ${LANG_GERMAN} "Die Signatur des Downloads ist abgelaufen. Prüfen Sie Datum und Uhrzeit des Computers; stimmen sie, muss der Herausgeber das Produkt neu veröffentlichen."
LangString FAIL_SPACE ${LANG_ENGLISH} "The target drive has not enough free space. Free disk space or choose another folder, then run setup again."
LangString FAIL_SPACE ${LANG_GERMAN} "Auf dem Ziellaufwerk ist nicht genügend Speicherplatz frei. Geben Sie Speicherplatz frei oder wählen Sie einen anderen Ordner und führen Sie Setup erneut aus."
LangString FAIL_ACCESS ${LANG_ENGLISH} "Setup cannot write to the target folder. Choose another folder, or close the programs that use its files, then run setup again."
LangString FAIL_ACCESS ${LANG_GERMAN} "Setup kann nicht in den Zielordner schreiben. Wählen Sie einen anderen Ordner oder schließen Sie die Programme, die seine Dateien verwenden, und führen Sie Setup erneut aus."
LangString FAIL_BUSY ${LANG_ENGLISH} "Another setup is installing into this folder. Wait until it has finished, then run setup again."
LangString FAIL_BUSY ${LANG_GERMAN} "Ein anderes Setup installiert gerade in diesen Ordner. Warten Sie, bis es fertig ist, und führen Sie Setup dann erneut aus."
LangString FAIL_PROXY ${LANG_ENGLISH} "The proxy server accepted no user name and password. Enter them (in silent mode: /PROXYUSER= and /PROXYPASSWORD=) and run setup again."
LangString FAIL_PROXY ${LANG_GERMAN} "Der Proxyserver hat keinen Benutzernamen und kein Kennwort angenommen. Geben Sie sie ein (im unbeaufsichtigten Modus: /PROXYUSER= und /PROXYPASSWORD=) und führen Sie Setup erneut aus."
LangString FAIL_OTHER ${LANG_ENGLISH} "Setup could not go on. Run setup again later; if it fails again, please tell the publisher."
LangString FAIL_OTHER ${LANG_GERMAN} "Setup konnte nicht fortfahren. Führen Sie Setup später erneut aus; schlägt es wieder fehl, informieren Sie bitte den Herausgeber."

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
  !insertmacro LookUpExport $SetOptionFn SetOnlineInstallOption
  !insertmacro LookUpExport $DetailFn GetOnlineInstallDetail
  ${If} $1 != ""
    Push $1
    Return
  ${EndIf}
  System::Alloc ${RECORD_SIZE}
  Pop $Record
  System::Alloc ${DETAIL_SIZE}
  Pop $Detail
  Push ""
FunctionEnd

; Starts the session; pushes "" when it runs, else the reason it does not.
Function StartInstall
  ${If} $Engine == ""
    Call LoadEngine
    Pop $0
    ${If} $0 != ""
      Push $0
      Return
    ${EndIf}
  ${EndIf}
  StrCpy $Kind ${KIND_NONE}
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

; The counts and the kind from the detail record (offsets as in the public header);
; the byte counts are 64-bit, which System::Int64Op and LogicLib's L< compare.
Function ReadDetail
  System::Call '*$Detail(i ${DETAIL_SIZE})'
  System::Call '::$DetailFn(p $Detail) i .r0'
  System::Call '*$Detail(i, i .r1, i, i, l .r2, l .r3, l, i .r4, i, i .r5)'
  StrCpy $Kind $1
  StrCpy $BytesDone $2
  StrCpy $BytesTotal $3
  StrCpy $FilesDone $4
  StrCpy $FilesTotal $5
FunctionEnd

; Reads the result and the kind, shuts the session down and sets the exit code.
Function FinishInstall
  System::Call '::$ResultFn(*i .r4, w .r5, i ${RESULT_CAPACITY}) i .r0'
  ${If} $0 = 0
    StrCpy $4 ${EXIT_FAILED}
    StrCpy $5 "no result"
  ${EndIf}
  StrCpy $ResultCode $4
  StrCpy $ResultText $5
  Call ReadDetail
  System::Call '::$ShutdownFn()'
  StrCpy $Running 0
  ${If} $ResultCode = 0
    SetErrorLevel ${EXIT_INSTALLED}
  ${Else}
    SetErrorLevel ${EXIT_FAILED}
  ${EndIf}
FunctionEnd

; What the user reads first, by the failure's kind in $Kind, into $Advice.
Function FailureAdvice
  ${Select} $Kind
    ${Case} ${KIND_CANCELLED}
      StrCpy $Advice "$(FAIL_CANCELLED)"
    ${Case2} ${KIND_MANIFEST_UNREACHABLE} ${KIND_MIRRORS_UNREACHABLE}
      StrCpy $Advice "$(FAIL_CONNECTION)"
    ${Case} ${KIND_TLS}
      StrCpy $Advice "$(FAIL_SECURE)"
    ${Case2} ${KIND_MANIFEST_UNTRUSTED} ${KIND_MANIFEST_OLDER}
      StrCpy $Advice "$(FAIL_UNTRUSTED)"
    ${Case} ${KIND_MANIFEST_EXPIRED}
      StrCpy $Advice "$(FAIL_EXPIRED)"
    ${Case2} ${KIND_NOT_ENOUGH_SPACE} ${KIND_DISK_FULL}
      StrCpy $Advice "$(FAIL_SPACE)"
    ${Case} ${KIND_ACCESS_DENIED}
      StrCpy $Advice "$(FAIL_ACCESS)"
    ${Case} ${KIND_TARGET_BUSY}
      StrCpy $Advice "$(FAIL_BUSY)"
    ${Case} ${KIND_PROXY_AUTHENTICATION}
      StrCpy $Advice "$(FAIL_PROXY)"
    ${Case2} ${KIND_INTERNAL} ${KIND_NONE}
      ; No kind: the engine could not be used, so no run ended.
      StrCpy $Advice "$(FAIL_OTHER)"
    ${CaseElse}
      ; An invalid argument, manifest or entry, a file missing or corrupt on every mirror.
      StrCpy $Advice "$(FAIL_PUBLISHER)"
  ${EndSelect}
FunctionEnd

; The proxy's user name in $2 and password in $3 for every later start; $0 is 1
; when the engine took both.
Function SetProxyCredentials
  StrCpy $0 0
  ${If} $2 != ""
    System::Call '::$SetOptionFn(w "proxy_user", w r2) i .r0'
    ${If} $0 <> 0
      System::Call '::$SetOptionFn(w "proxy_password", w r3) i .r0'
    ${EndIf}
  ${EndIf}
  StrCpy $ProxyAsked 1
FunctionEnd

; Appends a line to the log in UTF-8, as the engine writes it: Push text, Call.
Function AppendToLog
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $0 "$0$\r$\n"
  ClearErrors
  FileOpen $1 "${LOG_FILE}" a
  ${IfNot} ${Errors}
    FileSeek $1 0 END
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r0, i -1, p 0, i 0, p 0, p 0) i .r2'
    System::Alloc $2
    Pop $3
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r0, i -1, p r3, i r2, p 0, p 0)'
    IntOp $2 $2 - 1  ; without the NUL
    System::Call 'kernel32::WriteFile(p r1, p r3, i r2, *i 0, p 0)'
    System::Free $3
    FileClose $1
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; The engine never ran, so it wrote no log: the reason goes there for support
; (in silent mode nothing else shows it).
Function FailWithoutEngine
  Pop $ResultText
  StrCpy $ResultCode ${EXIT_FAILED}
  SetErrorLevel ${EXIT_FAILED}
  Push "Setup failed before the install started: $ResultText"
  Call AppendToLog
FunctionEnd

; -- silent mode (/S): install, no window, the exit code tells the result ---

; One run, polled until it ends.
Function RunSilently
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
FunctionEnd

Section "Install"
  ${IfNot} ${Silent}
    Return  ; the progress page has done the work
  ${EndIf}
  Call RunSilently
  ${If} $Kind = ${KIND_PROXY_AUTHENTICATION}
    ${GetParameters} $1
    ${GetOptions} $1 "/PROXYUSER=" $2
    ${GetOptions} $1 "/PROXYPASSWORD=" $3
    Call SetProxyCredentials
    ${If} $0 <> 0
      Call RunSilently
    ${EndIf}
  ${EndIf}
  ${If} $Kind <> ${KIND_NONE}
    Call FailureAdvice
    Push "Setup failed: $Advice"
    Call AppendToLog
  ${EndIf}
  ; Silent mode has no window whose end would release the engine.
  Call ReleaseEngine
SectionEnd

; -- the progress page ---------------------------------------------------------

Function ProgressPageCreate
  nsDialogs::Create 1018
  Pop $0
  GetDlgItem $0 $HWNDPARENT 1  ; Next becomes Close, enabled once the run has ended
  SendMessage $0 ${WM_SETTEXT} 0 "STR:$(CLOSE)"
  GetDlgItem $0 $HWNDPARENT 3  ; Back: the target cannot change under a running install
  EnableWindow $0 0

  ${NSD_CreateLabel} 0 0 100% 12u "$(PREPARING)"
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
  ; Below the figures: the Cancel button while the run goes on, then the result,
  ; or the credential fields when the proxy asks for them (ShowLowerPart).
  ${NSD_CreateButton} 0 68u 90u 14u "$(CANCEL_DOWNLOAD)"
  Pop $CancelButton
  ${NSD_OnClick} $CancelButton OnCancelClick
  ${NSD_CreateLabel} 0 68u 100% 56u ""
  Pop $ResultLabel
  ${NSD_CreateLabel} 0 70u 100% 12u "$(PROXY_PROMPT)"
  Pop $ProxyPromptLabel
  ${NSD_CreateLabel} 0 86u 21% 12u "$(PROXY_USER)"
  Pop $ProxyUserLabel
  ${NSD_CreateText} 21% 84u 29% 12u ""
  Pop $ProxyUserEdit
  ${NSD_CreateLabel} 53% 86u 14% 12u "$(PROXY_PASSWORD)"
  Pop $ProxyPasswordLabel
  ${NSD_CreatePassword} 67% 84u 33% 12u ""
  Pop $ProxyPasswordEdit
  ${NSD_CreateButton} 0 102u 120u 14u "$(PROXY_RETRY)"
  Pop $ProxyRetryButton
  ${NSD_OnClick} $ProxyRetryButton OnProxyRetryClick

  Call StartOnPage
  nsDialogs::Show
FunctionEnd

; Starts a run that the timer follows, or shows why none started.
Function StartOnPage
  GetDlgItem $0 $HWNDPARENT 1
  EnableWindow $0 0
  EnableWindow $CancelButton 1
  Push "run"
  Call ShowLowerPart
  Call StartInstall
  Pop $0
  ${If} $0 == ""
    ${NSD_CreateTimer} OnPollTimer ${POLL_MS}
  ${Else}
    Push $0
    Call FailWithoutEngine
    Call ShowResult
  ${EndIf}
FunctionEnd

; What fills the page below the figures: Push "run" (the Cancel button),
; "result" or "proxy" (the credential fields), Call.
Function ShowLowerPart
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $1 ${SW_HIDE}
  StrCpy $2 ${SW_HIDE}
  StrCpy $3 ${SW_HIDE}
  ${If} $0 == "run"
    StrCpy $1 ${SW_SHOW}
  ${ElseIf} $0 == "result"
    StrCpy $2 ${SW_SHOW}
  ${Else}
    StrCpy $3 ${SW_SHOW}
  ${EndIf}
  ShowWindow $CancelButton $1
  ShowWindow $ResultLabel $2
  ShowWindow $ProxyPromptLabel $3
  ShowWindow $ProxyUserLabel $3
  ShowWindow $ProxyUserEdit $3
  ShowWindow $ProxyPasswordLabel $3
  ShowWindow $ProxyPasswordEdit $3
  ShowWindow $ProxyRetryButton $3
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; The record and the detail stay readable after the shutdown: the last poll shows
; the final figures.
Function OnPollTimer
  System::Call '::$DoneFn() i .r0'
  ${If} $0 <> 0
    ${NSD_KillTimer} OnPollTimer
    Call FinishInstall
  ${EndIf}
  Call ShowProgress
  ${If} $Running = 0
    Call ShowResult
  ${EndIf}
FunctionEnd

; "1.50 MB" ("1,50 MB" in German), units of 1024 with two decimals as the
; engine's texts: Push bytes, Call, Pop text.
Function SizeText
  Exch $0
  Push $1
  Push $2
  ${If} $0 L< 1024
    StrCpy $0 "$0 B"
  ${Else}
    ${If} $0 L>= 1073741824
      StrCpy $1 1073741824
      StrCpy $2 GB
    ${ElseIf} $0 L>= 1048576
      StrCpy $1 1048576
      StrCpy $2 MB
    ${Else}
      StrCpy $1 1024
      StrCpy $2 KB
    ${EndIf}
    System::Int64Op $0 * 100
    Pop $0
    System::Int64Op $0 / $1
    Pop $0  ; hundredths of the unit: small enough for IntOp
    IntOp $1 $0 % 100
    IntFmt $1 "%02d" $1
    IntOp $0 $0 / 100
    StrCpy $0 "$0$(DECIMAL)$1 $2"
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Bytes done of the total into $1, 0..1000.
Function Permille
  StrCpy $1 0
  ${If} $BytesTotal L> 0
    System::Int64Op $BytesDone * 1000
    Pop $1
    System::Int64Op $1 / $BytesTotal
    Pop $1
  ${EndIf}
FunctionEnd

; Shows the counts, and the record's item, speed and time left (offsets as in
; the public header).
Function ShowProgress
  Push $0
  System::Call '::$ProgressFn(p $Record) i .r0'
  ${If} $0 <> 0
    Call ReadDetail
    System::Call '*$Record(&w64, &w260 .r2, i, i, i, &w32, &w32, &w32 .r8, &w32 .r9)'
    StrCpy $Speed $8
    StrCpy $TimeLeft $9
    ${If} $FilesTotal = 0
      ${NSD_SetText} $StatusLabel "$(PREPARING)"
    ${Else}
      ${NSD_SetText} $StatusLabel "$(FILES_DONE)"
    ${EndIf}
    ${NSD_SetText} $ItemLabel "$2"
    ${NSD_SetText} $TimeLabel "$(SPEED_AND_TIME_LEFT)"
    ${If} $Running = 0
      ; The run has ended: the final figures, no time left; the result below
      ; shows the rest.
      ${NSD_SetText} $ItemLabel ""
      ${NSD_SetText} $TimeLabel "$Speed"
      ${If} $Kind = ${KIND_CANCELLED}
        ${NSD_SetText} $StatusLabel "$(FAIL_CANCELLED)"
      ${ElseIf} $Kind <> ${KIND_NONE}
        ${NSD_SetText} $StatusLabel "$(FAILED)"
      ${EndIf}
    ${EndIf}
    Call Permille
    SendMessage $Bar ${PBM_SETPOS} $1 0
    Push $BytesDone
    Call SizeText
    Pop $DoneText
    Push $BytesTotal
    Call SizeText
    Pop $TotalText
    IntOp $2 $1 % 10
    IntOp $1 $1 / 10
    StrCpy $PercentText "$1$(DECIMAL)$2"
    ${NSD_SetText} $BytesLabel "$(FIGURES)"
  ${EndIf}
  Pop $0
FunctionEnd

Function ShowResult
  GetDlgItem $0 $HWNDPARENT 1
  EnableWindow $0 1
  Push "result"
  Call ShowLowerPart
  Call FailureAdvice
  ${If} $ResultCode = 0
    ${NSD_SetText} $ResultLabel "$(INSTALLED)"
  ${ElseIf} $Kind = ${KIND_CANCELLED}
    ${NSD_SetText} $ResultLabel "$Advice. $(CANCELLED_NOTE)$\r$\n$(LOG_LINE)"
  ${ElseIf} $Kind = ${KIND_PROXY_AUTHENTICATION}
  ${AndIf} $ProxyAsked = 0
    ; Once: the fields, and a new start with what the user types.
    Push "proxy"
    Call ShowLowerPart
    ${NSD_SetFocus} $ProxyUserEdit
  ${Else}
    ; The engine's text follows for support.
    ${NSD_SetText} $ResultLabel "$Advice$\r$\n$ResultText$\r$\n$(LOG_LINE)"
  ${EndIf}
FunctionEnd

Function OnProxyRetryClick
  Pop $0
  ${NSD_GetText} $ProxyUserEdit $2
  ${NSD_GetText} $ProxyPasswordEdit $3
  Call SetProxyCredentials
  ${If} $0 <> 0
    Call StartOnPage
  ${Else}
    Call ShowResult
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
  StrCpy $ProxyAsked 0
  StrCpy $Kind ${KIND_NONE}
  StrCpy $ResultCode ${EXIT_FAILED}
  ; NSIS has chosen the language that matches the user's; /L=<id> chooses another.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/L=" $1
  ${IfNot} ${Errors}
    StrCpy $LANGUAGE $1
  ${EndIf}
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
  ${If} $Detail != ""
    System::Free $Detail
    StrCpy $Detail ""
  ${EndIf}
  ${If} $Engine != ""
    System::Call 'kernel32::FreeLibrary(p $Engine)'
    StrCpy $Engine ""
  ${EndIf}
FunctionEnd
