' One client of Mivo.DataBase.OLEServer. Prints "Greeting=<text>" (the text of Demo/Greeting), then:
'   client.vbs hold <file>   keeps its object until <file> exists (at most 60 s)
'   client.vbs refresh       calls RefreshLangDB and prints "Greeting after RefreshLangDB=<text>"
'   client.vbs               nothing more
' and releases its object. Exit code 0, or 2 when a call failed (its error is printed).
Option Explicit
On Error Resume Next

Sub Check(label)
  If Err.Number <> 0 Then
    WScript.Echo label & "=error " & Err.Number
    WScript.Quit 2
  End If
End Sub

Dim o, mode, fso, waited
Set o = CreateObject("Mivo.DataBase.OLEServer") : Check "CreateObject"
WScript.Echo "Greeting=" & o.GetLanguageString("Demo", "Greeting") : Check "Greeting"
mode = ""
If WScript.Arguments.Count > 0 Then mode = WScript.Arguments(0)
If mode = "hold" Then
  Set fso = CreateObject("Scripting.FileSystemObject")
  waited = 0
  Do While Not fso.FileExists(WScript.Arguments(1)) And waited < 600
    WScript.Sleep 100
    waited = waited + 1
  Loop
ElseIf mode = "refresh" Then
  o.RefreshLangDB : Check "RefreshLangDB"
  WScript.Echo "Greeting after RefreshLangDB=" & o.GetLanguageString("Demo", "Greeting") : Check "Greeting"
End If
Set o = Nothing
WScript.Quit 0
