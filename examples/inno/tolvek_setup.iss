; An online installer built with Inno Setup on tolvek_online_installer.dll.
;
; Inno Setup's setup programs are 32-bit, so they carry the 32-bit engine
; (build/bin32); its exports use the stdcall convention that [Code] declares.
; The setup program carries only the engine; the product's files come from the
; mirrors named in the manifest. Build it for your own product without editing it,
; from the repository root (docs/integration.md has the whole command, for Linux
; under the 32-bit Wine and for Windows):
;
;   ISCC "/DManifestUrls=https://cdn1.example.com/mygame/1.4/manifest.json" "/DProductName=My Game"
;        /DProductVersion=1.4.0 /DProductSize=83886080 /DManifestKeys=<publisher.pub.txt>
;        /DOutputBaseFilename=mygame-setup-inno /Obuild examples/inno/tolvek_setup.iss
;
; ProductVersion and ProductSize are what tools/make_manifest.py prints as the
; "setup defines"; with ManifestKeys the setup program starts the verified
; install. ISCC reads a relative EngineDll from this script's folder: give a DLL
; elsewhere by its absolute path.
;
; Run it with /DIR=<target> to choose the target directory, and with /VERYSILENT
; /SUPPRESSMSGBOXES to install without a window: the exit code is then 0 when
; installed and 7 when not (the preparing stage refused to go on). Under Wine it
; needs an X display even then (xvfb-run).
;
; It speaks English and German: Setup takes the user's language, /LANG=en or
; /LANG=de chooses. Its messages say what the user can do about a failure, by
; the engine's failure kind; the engine's own text follows them for support. A
; proxy that asks for a user name and password gets them from a small dialog,
; or in silent mode from /PROXYUSER= and /PROXYPASSWORD=, and the install then
; starts once more.

; -- what a builder usually changes (ISCC /DName=Value) -------------------------

#ifndef ManifestUrls
  ; The demo product: tools/mirror_server.py --root <published product> --port 8080
  #define ManifestUrls "http://127.0.0.1:8080/manifest.json"
#endif
#ifndef ProductName
  #define ProductName "Tolvek Demo"
#endif
#ifndef ProductVersion
  #define ProductVersion "1.0"
#endif
; The bytes of the product's files: the wizard asks for that much free space.
#ifndef ProductSize
  #define ProductSize "0"
#endif
; Relative to this script's folder.
#ifndef EngineDll
  #define EngineDll "..\..\build\bin32\tolvek_online_installer.dll"
#endif
#ifndef OutputBaseFilename
  #define OutputBaseFilename "tolvek-example-setup-inno"
#endif
; A fixed default: Wine's prefixes may not resolve {autopf}. On Windows,
; "{autopf}\{#ProductName}" is the usual choice.
#ifndef DefaultDir
  #define DefaultDir "C:\Tolvek\" + ProductName
#endif
; The log stays after the setup program ends, for support; the working directory
; lies in Setup's own temporary folder, which it removes when it exits.
#ifndef LogFile
  #define LogFile "{%TEMP}\" + ProductName + " setup.log"
#endif

[Setup]
AppName={#ProductName}
AppVersion={#ProductVersion}
ExtraDiskSpaceRequired={#ProductSize}
DefaultDirName={#DefaultDir}
PrivilegesRequired=lowest
DisableProgramGroupPage=yes
; The product's files are the manifest's, not this script's: Inno's uninstaller
; would not know them.
Uninstallable=no
OutputDir=.
OutputBaseFilename={#OutputBaseFilename}
; The language that matches the user's, without asking; the dialog only when none does.
ShowLanguageDialog=auto

[Languages]
Name: "en"; MessagesFile: "compiler:Default.isl"
Name: "de"; MessagesFile: "compiler:Languages\German.isl"

[CustomMessages]
en.PageCaption=Installing %1
de.PageCaption=%1 wird installiert
en.PageDescription=Setup downloads the files of %1 and checks every one.
de.PageDescription=Setup lädt die Dateien von %1 herunter und prüft jede einzelne.
en.CancelDownload=Cancel download
de.CancelDownload=Download abbrechen
en.Preparing=Preparing the download
de.Preparing=Download wird vorbereitet
en.FilesDone=%1 of %2 files done
de.FilesDone=%1 von %2 Dateien fertig
; bytes done, the total, the percentage with one decimal
en.Figures=%1 of %2 (%3%)
de.Figures=%1 von %2 (%3 %)
en.DecimalSeparator=.
de.DecimalSeparator=,
en.SpeedAndTimeLeft=%1, time left: %2
de.SpeedAndTimeLeft=%1, Restzeit: %2
en.LogFile=Log: %1
de.LogFile=Protokoll: %1
en.ProxyCaption=Proxy sign-in
de.ProxyCaption=Anmeldung am Proxy
en.ProxyPrompt=The proxy server asks for a user name and password.
de.ProxyPrompt=Der Proxyserver verlangt einen Benutzernamen und ein Kennwort.
en.ProxyUser=User name:
de.ProxyUser=Benutzername:
en.ProxyPassword=Password:
de.ProxyPassword=Kennwort:
en.Failed=Installation failed
de.Failed=Installation fehlgeschlagen
; What the user can do, by the failure's kind.
en.FailCancelled=Download cancelled
de.FailCancelled=Download abgebrochen
en.FailConnection=Check your connection and run setup again.
de.FailConnection=Prüfen Sie Ihre Internetverbindung und führen Sie Setup erneut aus.
en.FailSecure=No secure connection to the download server could be made. Check the computer's date and time, then run setup again.
de.FailSecure=Es konnte keine sichere Verbindung zum Downloadserver aufgebaut werden. Prüfen Sie Datum und Uhrzeit des Computers und führen Sie Setup erneut aus.
en.FailPublisher=The download of this product is faulty: the publisher must fix its files. Running setup again will not help until then.
de.FailPublisher=Der Download dieses Produkts ist fehlerhaft: Der Herausgeber muss seine Dateien korrigieren. Bis dahin hilft ein erneuter Start von Setup nicht.
en.FailUntrusted=The download is not signed by the publisher or is older than the version installed, so nothing was installed. Please tell the publisher.
de.FailUntrusted=Der Download ist nicht vom Herausgeber signiert oder älter als die installierte Version, daher wurde nichts installiert. Bitte informieren Sie den Herausgeber.
en.FailExpired=The download's signature has expired. Check the computer's date and time; if they are right, the publisher must publish the product again.
de.FailExpired=Die Signatur des Downloads ist abgelaufen. Prüfen Sie Datum und Uhrzeit des Computers; stimmen sie, muss der Herausgeber das Produkt neu veröffentlichen.
en.FailSpace=The target drive has not enough free space. Free disk space or choose another folder, then run setup again.
de.FailSpace=Auf dem Ziellaufwerk ist nicht genügend Speicherplatz frei. Geben Sie Speicherplatz frei oder wählen Sie einen anderen Ordner und führen Sie Setup erneut aus.
en.FailAccess=Setup cannot write to the target folder. Choose another folder, or close the programs that use its files, then run setup again.
de.FailAccess=Setup kann nicht in den Zielordner schreiben. Wählen Sie einen anderen Ordner oder schließen Sie die Programme, die seine Dateien verwenden, und führen Sie Setup erneut aus.
en.FailBusy=Another setup is installing into this folder. Wait until it has finished, then run setup again.
de.FailBusy=Ein anderes Setup installiert gerade in diesen Ordner. Warten Sie, bis es fertig ist, und führen Sie Setup dann erneut aus.
en.FailProxy=The proxy server accepted no user name and password. Enter them (in silent mode: /PROXYUSER= and /PROXYPASSWORD=) and run setup again.
de.FailProxy=Der Proxyserver hat keinen Benutzernamen und kein Kennwort angenommen. Geben Sie sie ein (im unbeaufsichtigten Modus: /PROXYUSER= und /PROXYPASSWORD=) und führen Sie Setup erneut aus.
en.FailOther=Setup could not go on. Run setup again later; if it fails again, please tell the publisher.
de.FailOther=Setup konnte nicht fortfahren. Führen Sie Setup später erneut aus; schlägt es wieder fehl, informieren Sie bitte den Herausgeber.

[Files]
; Not installed: [Code] extracts it to {tmp} and loads it from there.
Source: "{#EngineDll}"; Flags: dontcopy

[Code]
const
  EngineName = 'tolvek_online_installer.dll';
  RecordUnits = 522;      { TolvekProgressRecord: 1044 bytes of UTF-16 units }
  ResultCapacity = 1024;  { holds every result message whole }
  PollMs = 100;           { the engine updates its record at most every 250 ms }

  { The failure kinds of the public header (TOLVEK_KIND_...) that the messages tell apart. }
  KindNone = 0;
  KindCancelled = 1;
  KindTargetBusy = 2;
  KindManifestUnreachable = 4;
  KindManifestUntrusted = 6;
  KindManifestExpired = 7;
  KindMirrorsUnreachable = 9;
  KindNotEnoughSpace = 12;
  KindDiskFull = 13;
  KindAccessDenied = 14;
  KindProxyAuthentication = 15;
  KindTls = 16;
  KindManifestOlder = 17;
  KindInternal = 18;

type
  { TolvekInstallDetail of the public header: 56 bytes, no padding. }
  TInstallDetail = record
    Size: Cardinal;          { set before the call: the size this script knows }
    Kind: Integer;           { TOLVEK_KIND_..., KindNone while running }
    PlatformError: Cardinal;
    HttpStatus: Cardinal;
    BytesDone: Int64;        { counted toward BytesTotal }
    BytesTotal: Int64;       { 0 until the file list is known }
    BytesReceived: Int64;
    FilesDone: Integer;
    FilesSkipped: Integer;
    FilesTotal: Integer;     { 0 until the file list is known }
    FilesInTransfer: Integer;
  end;

(* The exports, stdcall on x86. "files:" extracts the DLL from [Files] into
   {tmp}; "delayload" loads it at the first call, so that a missing or unusable
   engine is an exception here rather than an error at Setup's start. *)
function StartOnlineInstall(ManifestUrls, TargetDirectory, LogPath, WorkingDirectory: String): Integer;
  external 'StartOnlineInstall@files:tolvek_online_installer.dll stdcall delayload setuponly';
function StartOnlineInstallVerified(ManifestUrls, TargetDirectory, LogPath, WorkingDirectory,
  TrustedKeys: String): Integer;
  external 'StartOnlineInstallVerified@files:tolvek_online_installer.dll stdcall delayload setuponly';
function GetOnlineInstallProgress(Destination: String): Integer;
  external 'GetOnlineInstallProgress@files:tolvek_online_installer.dll stdcall delayload setuponly';
function GetOnlineInstallResult(var Code: Integer; Message: String; Capacity: Integer): Integer;
  external 'GetOnlineInstallResult@files:tolvek_online_installer.dll stdcall delayload setuponly';
function IsOnlineInstallDone: Integer;
  external 'IsOnlineInstallDone@files:tolvek_online_installer.dll stdcall delayload setuponly';
procedure CancelOnlineInstall;
  external 'CancelOnlineInstall@files:tolvek_online_installer.dll stdcall delayload setuponly';
procedure ShutdownOnlineInstall;
  external 'ShutdownOnlineInstall@files:tolvek_online_installer.dll stdcall delayload setuponly';
function SetOnlineInstallOption(Name, Value: String): Integer;
  external 'SetOnlineInstallOption@files:tolvek_online_installer.dll stdcall delayload setuponly';
function GetOnlineInstallDetail(var Detail: TInstallDetail): Integer;
  external 'GetOnlineInstallDetail@files:tolvek_online_installer.dll stdcall delayload setuponly';

var
  Running: Boolean;         { a session runs and has not been shut down }
  LastDetail: TInstallDetail;  { the last run's kind and final counts }
  ProgressPage: TOutputProgressWizardPage;
  BytesLabel, SpeedLabel: TNewStaticText;
  CancelDownloadButton: TNewButton;

{ -- the progress record: a string of 522 units that the engine fills -------- }

{ A text field at its byte offset in the public header, up to its first NUL. }
function RecordText(const Rec: String; ByteOffset, Units: Integer): String;
var
  Nul: Integer;
begin
  Result := Copy(Rec, ByteOffset div 2 + 1, Units);
  Nul := Pos(#0, Result);
  if Nul > 0 then
    Result := Copy(Result, 1, Nul - 1);
end;

{ An int32_t field at its byte offset: two UTF-16 units, the low one first. }
function RecordInt(const Rec: String; ByteOffset: Integer): Integer;
begin
  Result := Ord(Rec[ByteOffset div 2 + 1]) or (Ord(Rec[ByteOffset div 2 + 2]) shl 16);
end;

{ -- the counts, in the setup's language --------------------------------------- }

{ "1.50 MB" ("1,50 MB" in German): units of 1024 with two decimals, as the engine's texts. }
function SizeText(Bytes: Int64): String;
var
  Scale, Hundredths: Int64;
  UnitName, Decimals: String;
begin
  if Bytes < 1024 then begin
    Result := IntToStr(Bytes) + ' B';
    Exit;
  end;
  if Bytes >= 1073741824 then begin
    Scale := 1073741824;
    UnitName := 'GB';
  end else if Bytes >= 1048576 then begin
    Scale := 1048576;
    UnitName := 'MB';
  end else begin
    Scale := 1024;
    UnitName := 'KB';
  end;
  Hundredths := Bytes * 100 div Scale;
  Decimals := IntToStr(Hundredths mod 100);
  if Length(Decimals) = 1 then
    Decimals := '0' + Decimals;
  Result := IntToStr(Hundredths div 100) + CustomMessage('DecimalSeparator') + Decimals + ' ' + UnitName;
end;

{ Bytes done of the total, 0..1000. }
function Permille(const Detail: TInstallDetail): Integer;
begin
  Result := 0;
  if Detail.BytesTotal > 0 then
    Result := Detail.BytesDone * 1000 div Detail.BytesTotal;
end;

{ "1.50 MB of 3.20 MB (46.8%)" }
function FiguresText(const Detail: TInstallDetail): String;
var
  Done: Integer;
begin
  Done := Permille(Detail);
  Result := FmtMessage(CustomMessage('Figures'), [SizeText(Detail.BytesDone), SizeText(Detail.BytesTotal),
    IntToStr(Done div 10) + CustomMessage('DecimalSeparator') + IntToStr(Done mod 10)]);
end;

{ The counts now; False before the first start. }
function ReadDetail(var Detail: TInstallDetail): Boolean;
begin
  Detail.Size := 56;
  Result := GetOnlineInstallDetail(Detail) <> 0;
end;

{ -- failures ------------------------------------------------------------------ }

{ What the user reads first, by the failure's kind; the engine's text follows it. }
function FailureAdvice(Kind: Integer): String;
begin
  case Kind of
    KindCancelled: Result := CustomMessage('FailCancelled');
    KindManifestUnreachable, KindMirrorsUnreachable: Result := CustomMessage('FailConnection');
    KindTls: Result := CustomMessage('FailSecure');
    KindManifestUntrusted, KindManifestOlder: Result := CustomMessage('FailUntrusted');
    KindManifestExpired: Result := CustomMessage('FailExpired');
    KindNotEnoughSpace, KindDiskFull: Result := CustomMessage('FailSpace');
    KindAccessDenied: Result := CustomMessage('FailAccess');
    KindTargetBusy: Result := CustomMessage('FailBusy');
    KindProxyAuthentication: Result := CustomMessage('FailProxy');
    KindInternal: Result := CustomMessage('FailOther');
  else
    { An invalid argument, manifest or entry, a file missing or corrupt on every mirror. }
    Result := CustomMessage('FailPublisher');
  end;
end;

{ -- the progress page -------------------------------------------------------- }

procedure OnCancelDownloadClick(Sender: TObject);
begin
  if Running then
    CancelOnlineInstall;
  CancelDownloadButton.Enabled := False;
end;

function AddLabel(Top: Integer): TNewStaticText;
begin
  Result := TNewStaticText.Create(ProgressPage);
  Result.Parent := ProgressPage.Surface;
  Result.Top := Top;
  Result.Width := ProgressPage.SurfaceWidth;
end;

procedure InitializeWizard;
var
  Below: Integer;
begin
  ProgressPage := CreateOutputProgressPage(FmtMessage(CustomMessage('PageCaption'), ['{#ProductName}']),
    FmtMessage(CustomMessage('PageDescription'), ['{#ProductName}']));
  Below := ProgressPage.ProgressBar.Top + ProgressPage.ProgressBar.Height + ScaleY(8);
  BytesLabel := AddLabel(Below);
  SpeedLabel := AddLabel(Below + ScaleY(18));
  CancelDownloadButton := TNewButton.Create(ProgressPage);
  CancelDownloadButton.Parent := ProgressPage.Surface;
  CancelDownloadButton.Top := Below + ScaleY(42);
  CancelDownloadButton.Width := ScaleX(130);
  CancelDownloadButton.Height := ScaleY(23);
  CancelDownloadButton.Caption := CustomMessage('CancelDownload');
  CancelDownloadButton.OnClick := @OnCancelDownloadClick;
end;

{ Shows the counts and the record's item, speed and time left, or once the run
  has ended its final figures; SetProgress also lets the page answer its buttons
  between two polls. }
procedure ShowProgress;
var
  Detail: TInstallDetail;
  Rec, Status, Item, Speed: String;
begin
  Rec := StringOfChar(#0, RecordUnits);
  if (GetOnlineInstallProgress(Rec) = 0) or not ReadDetail(Detail) then
    Exit;
  Item := RecordText(Rec, 128, 260);
  Speed := RecordText(Rec, 788, 32);
  SpeedLabel.Caption := FmtMessage(CustomMessage('SpeedAndTimeLeft'), [Speed, RecordText(Rec, 852, 32)]);
  if Detail.FilesTotal = 0 then
    Status := CustomMessage('Preparing')
  else
    Status := FmtMessage(CustomMessage('FilesDone'), [IntToStr(Detail.FilesDone), IntToStr(Detail.FilesTotal)]);
  if not Running then begin
    { The run has ended: the final figures, no time left. }
    if Detail.Kind = KindCancelled then
      Status := CustomMessage('FailCancelled')
    else if Detail.Kind <> KindNone then
      Status := CustomMessage('Failed');
    Item := '';
    SpeedLabel.Caption := Speed;
  end;
  ProgressPage.SetText(Status, Item);
  BytesLabel.Caption := FiguresText(Detail);
  ProgressPage.SetProgress(Permille(Detail), 1000);
end;

{ -- proxy credentials ---------------------------------------------------------- }

function AddFormLabel(Form: TSetupForm; const Caption: String; Top: Integer): Integer;
var
  Text: TNewStaticText;
begin
  Text := TNewStaticText.Create(Form);
  Text.Parent := Form;
  Text.Left := ScaleX(12);
  Text.Top := Top;
  Text.Width := Form.ClientWidth - ScaleX(24);
  Text.WordWrap := True;
  Text.Caption := Caption;
  Result := Top + Text.Height + ScaleY(4);
end;

function AddFormEdit(Form: TSetupForm; Edit: TControl; Top: Integer): Integer;
begin
  Edit.Parent := Form;
  Edit.Left := ScaleX(12);
  Edit.Top := Top;
  Edit.Width := Form.ClientWidth - ScaleX(24);
  Result := Top + Edit.Height + ScaleY(10);
end;

function AddFormButton(Form: TSetupForm; const Caption: String; Left, Top, Answer: Integer): TNewButton;
begin
  Result := TNewButton.Create(Form);
  Result.Parent := Form;
  Result.Left := Left;
  Result.Top := Top;
  Result.Width := ScaleX(80);
  Result.Height := ScaleY(23);
  Result.Caption := Caption;
  Result.ModalResult := Answer;
end;

{ A small dialog for the user name and password; False when the user cancels. }
function AskProxyCredentials(var User, Password: String): Boolean;
var
  Form: TSetupForm;
  UserEdit: TNewEdit;
  PasswordEdit: TPasswordEdit;
  Top: Integer;
begin
  Form := CreateCustomForm;
  try
    Form.ClientWidth := ScaleX(360);
    Form.Caption := CustomMessage('ProxyCaption');
    Top := AddFormLabel(Form, CustomMessage('ProxyPrompt'), ScaleY(12)) + ScaleY(6);
    Top := AddFormLabel(Form, CustomMessage('ProxyUser'), Top);
    UserEdit := TNewEdit.Create(Form);
    Top := AddFormEdit(Form, UserEdit, Top);
    Top := AddFormLabel(Form, CustomMessage('ProxyPassword'), Top);
    PasswordEdit := TPasswordEdit.Create(Form);
    Top := AddFormEdit(Form, PasswordEdit, Top);
    AddFormButton(Form, SetupMessage(msgButtonOK), Form.ClientWidth - ScaleX(184), Top, mrOk).Default := True;
    AddFormButton(Form, SetupMessage(msgButtonCancel), Form.ClientWidth - ScaleX(92), Top, mrCancel).Cancel := True;
    Form.ClientHeight := Top + ScaleY(35);
    Form.ActiveControl := UserEdit;
    Result := Form.ShowModal = mrOk;
    User := UserEdit.Text;
    Password := PasswordEdit.Text;
  finally
    Form.Free;
  end;
end;

{ The credentials for the next start, from the user or, silent, from the command
  line; False when there are none. }
function SetProxyCredentials: Boolean;
var
  User, Password: String;
begin
  if WizardSilent then begin
    User := ExpandConstant('{param:PROXYUSER|}');
    Password := ExpandConstant('{param:PROXYPASSWORD|}');
    Result := User <> '';
  end else
    Result := AskProxyCredentials(User, Password) and (User <> '');
  if Result then
    Result := (SetOnlineInstallOption('proxy_user', User) <> 0) and
              (SetOnlineInstallOption('proxy_password', Password) <> 0);
  if Result then
    Log('Proxy credentials set: the install starts again');
end;

{ -- the engine --------------------------------------------------------------- }

{ Reads the result and shuts the session down; '' when installed. }
function FinishInstall: String;
var
  Code: Integer;
  Message: String;
begin
  Code := 1;
  Message := StringOfChar(#0, ResultCapacity);
  if GetOnlineInstallResult(Code, Message, ResultCapacity) = 0 then
    Message := 'no result';
  Message := RecordText(Message, 0, ResultCapacity);
  ReadDetail(LastDetail);
  ShutdownOnlineInstall;
  Running := False;
  if Code = 0 then
    Result := ''
  else if LastDetail.Kind = KindCancelled then
    { The files installed stay; the next run skips them. }
    Result := FailureAdvice(KindCancelled) + ': ' + FiguresText(LastDetail)
  else
    Result := FailureAdvice(LastDetail.Kind) + #13#10 + Message;
end;

function StartEngine(const LogPath: String): Integer;
begin
#ifdef ManifestKeys
  Result := StartOnlineInstallVerified('{#ManifestUrls}', ExpandConstant('{app}'), LogPath,
                                       ExpandConstant('{tmp}\download'), '{#ManifestKeys}');
#else
  Result := StartOnlineInstall('{#ManifestUrls}', ExpandConstant('{app}'), LogPath,
                               ExpandConstant('{tmp}\download'));
#endif
end;

(* One run into {app}; '' when installed, else the reason. *)
function RunOnce(const LogPath: String): String;
begin
  LastDetail.Kind := KindNone;
  try
    if StartEngine(LogPath) = 0 then begin
      Result := 'the install did not start';
      Exit;
    end;
  except
    Result := 'cannot use ' + EngineName + ': ' + GetExceptionMessage;
    Exit;
  end;
  Running := True;
  CancelDownloadButton.Enabled := True;
  ProgressPage.Show;
  try
    while IsOnlineInstallDone = 0 do begin
      ShowProgress;
      Sleep(PollMs);
    end;
    Result := FinishInstall;
    { The record and the detail stay readable after the shutdown. }
    ShowProgress;
  finally
    ProgressPage.Hide;
  end;
end;

(* Installs the product into {app}; '' when installed, else the reason. A proxy
   that wants credentials gets them and one more run. *)
function RunEngine: String;
var
  LogPath: String;
begin
  LogPath := ExpandConstant('{#LogFile}');
  Result := RunOnce(LogPath);
  if (LastDetail.Kind = KindProxyAuthentication) and SetProxyCredentials then
    Result := RunOnce(LogPath);
  if Result <> '' then
    Result := Result + #13#10 + FmtMessage(CustomMessage('LogFile'), [LogPath]);
end;

{ The install runs before Setup's own stage: a failure stops Setup with its
  text (exit code 7 in silent mode), and Setup has nothing left to copy. }
function PrepareToInstall(var NeedsRestart: Boolean): String;
begin
  Result := RunEngine;
  if Result <> '' then
    Log('Online installation failed: ' + Result);
end;

{ The window's own Cancel stops a running install first. }
procedure CancelButtonClick(CurPageID: Integer; var Cancel, Confirm: Boolean);
begin
  if Running then begin
    CancelOnlineInstall;
    Cancel := False;
  end;
end;

{ Also on an early exit: no session may outlive the DLL, which Setup unloads. }
procedure DeinitializeSetup;
begin
  if Running then
    ShutdownOnlineInstall;
end;
