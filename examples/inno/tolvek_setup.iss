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

[Files]
; Not installed: [Code] extracts it to {tmp} and loads it from there.
Source: "{#EngineDll}"; Flags: dontcopy

[Code]
const
  EngineName = 'tolvek_online_installer.dll';
  RecordUnits = 522;      { TolvekProgressRecord: 1044 bytes of UTF-16 units }
  ResultCapacity = 1024;  { holds every result message whole }
  PollMs = 100;           { the engine updates its record at most every 250 ms }

(* The six exports, stdcall on x86. "files:" extracts the DLL from [Files] into
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

const
  { What the setup tells apart in a failed run. }
  FailureOther = 0;
  FailureCancelled = 1;
  FailureNetwork = 2;   { a retry may mend it }

var
  Running: Boolean;     { a session runs and has not been shut down }
  LastRecord: String;   { the last progress record shown }
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

{ "1.50 MB of 3.20 MB (46.8%)" }
function FiguresText(const Rec: String): String;
var
  Permille: Integer;
begin
  Permille := RecordInt(Rec, 656);
  Result := Format('%s of %s (%d.%d%%)', [RecordText(Rec, 660, 32), RecordText(Rec, 724, 32),
    Permille div 10, Permille mod 10]);
end;

{ -- failures ------------------------------------------------------------------ }

{ The kind of a failed run, from the engine's text. }
function FailureKind(const Message: String): Integer;
begin
  if Message = 'Cancelled by user' then
    Result := FailureCancelled
  else if Pos('NETWORK_UNREACHABLE: ', Message) = 1 then
    Result := FailureNetwork
  else
    Result := FailureOther;
end;

{ What the user reads first; the engine's text follows it, for support. }
function FailureHeadline(Kind: Integer): String;
begin
  case Kind of
    FailureCancelled: Result := 'Download cancelled';
    FailureNetwork: Result := 'Check your connection and run setup again.';
  else
    Result := 'Installation failed.';
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
  LastRecord := StringOfChar(#0, RecordUnits);
  ProgressPage := CreateOutputProgressPage('Installing {#ProductName}',
    'Setup downloads the files of {#ProductName} and checks every one.');
  Below := ProgressPage.ProgressBar.Top + ProgressPage.ProgressBar.Height + ScaleY(8);
  BytesLabel := AddLabel(Below);
  SpeedLabel := AddLabel(Below + ScaleY(18));
  CancelDownloadButton := TNewButton.Create(ProgressPage);
  CancelDownloadButton.Parent := ProgressPage.Surface;
  CancelDownloadButton.Top := Below + ScaleY(42);
  CancelDownloadButton.Width := ScaleX(110);
  CancelDownloadButton.Height := ScaleY(23);
  CancelDownloadButton.Caption := 'Cancel download';
  CancelDownloadButton.OnClick := @OnCancelDownloadClick;
end;

{ Copies the record and shows its fields; SetProgress also lets the page
  answer its buttons between two polls. }
procedure ShowProgress;
var
  Rec, Status, Item: String;
  Index, Count: Integer;
begin
  Rec := StringOfChar(#0, RecordUnits);
  if GetOnlineInstallProgress(Rec) = 0 then
    Exit;
  LastRecord := Rec;
  Status := RecordText(Rec, 0, 64);
  Item := RecordText(Rec, 128, 260);
  Index := RecordInt(Rec, 648);
  Count := RecordInt(Rec, 652);
  if Count > 0 then
    Item := Format('[%d/%d] %s', [Index, Count, Item]);
  SpeedLabel.Caption := RecordText(Rec, 788, 32) + ', time left: ' + RecordText(Rec, 852, 32);
  if Status = 'Error' then begin
    { The run has ended: its record holds the failure text and the final figures. }
    Status := FailureHeadline(FailureKind(Item));
    Item := '';
    SpeedLabel.Caption := RecordText(Rec, 788, 32);
  end;
  ProgressPage.SetText(Status, Item);
  BytesLabel.Caption := FiguresText(Rec);
  ProgressPage.SetProgress(RecordInt(Rec, 656), 1000);
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
  ShutdownOnlineInstall;
  Running := False;
  if Code = 0 then
    Result := ''
  else
    case FailureKind(Message) of
      { The files installed stay; the next run skips them. }
      FailureCancelled: Result := FailureHeadline(FailureCancelled) + ': ' + FiguresText(LastRecord);
      FailureNetwork: Result := FailureHeadline(FailureNetwork) + #13#10 + Message;
    else
      Result := Message;
    end;
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

(* Installs the product into {app}; '' when installed, else the reason. *)
function RunEngine: String;
var
  LogPath: String;
begin
  LogPath := ExpandConstant('{#LogFile}');
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
    ShowProgress;
    Result := FinishInstall;
  finally
    ProgressPage.Hide;
  end;
  if Result <> '' then
    Result := Result + #13#10 + 'Log: ' + LogPath;
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
