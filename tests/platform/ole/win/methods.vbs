' Calls every method of Mivo.DataBase.OLEServer and prints one line per call: "<label>=<result>", a failed
' call as "error <number>". By-reference texts go through script variables (the engine passes them as
' VARIANT references). Arguments: the Russian and the Japanese text of Demo/Greeting. Exit code 0 when the
' script ran to its end, 2 when the object could not be created.
Option Explicit
On Error Resume Next

' A call's result, or its error; clears the error.
Sub Report(label, value)
  If Err.Number <> 0 Then
    WScript.Echo label & "=error " & Err.Number
    Err.Clear
  Else
    WScript.Echo label & "=" & CStr(value)
  End If
End Sub

' The same for a text outside ASCII, which the output cannot carry (and Wine's engine has no AscW): it is
' compared with the script's argument n and printed as "<argument n>" when equal, else by its length.
Sub ReportText(label, value, n)
  If Err.Number <> 0 Then
    WScript.Echo label & "=error " & Err.Number
    Err.Clear
  ElseIf value = WScript.Arguments(n) Then
    WScript.Echo label & "=<argument " & n & ">"
  Else
    WScript.Echo label & "=<another text of " & Len(value) & " characters>"
  End If
End Sub

Dim o, r, t
Set o = CreateObject("Mivo.DataBase.OLEServer")
If Err.Number <> 0 Then
  WScript.Echo "CreateObject=error " & Err.Number
  WScript.Quit 2
End If

r = Empty : r = o.GetCurCharsetCode() : Report "charset", r
r = Empty : r = o.GetLanguageString("Demo", "Greeting") : Report "Greeting", r
r = Empty : r = o.GetLanguageString("Demo", "OnlyGerman") : Report "OnlyGerman", r
r = Empty : r = o.GetLanguageString("Demo", "Missing") : Report "Missing", r
r = Empty : r = o.getlanguagestring("Demo", "Greeting") : Report "lower case name", r
t = "old" : r = Empty : r = o.GetLanguageString2(t, "Demo", "Greeting") : Report "GetLanguageString2", r
Report "GetLanguageString2 text", t
t = "old" : r = Empty : r = o.GetLanguageString2(t, "Demo", "Missing") : Report "GetLanguageString2 missing", r
Report "GetLanguageString2 missing text", t

r = Empty : r = o.SetLanguage(&H419, False) : Report "SetLanguage 0419", r
r = Empty : r = o.GetCurCharsetCode() : Report "charset 0419", r
r = Empty : r = o.GetLanguageString("Demo", "Greeting") : ReportText "Greeting 0419", r, 0
r = Empty : r = o.GetLanguageString("Demo", "OnlyGerman") : Report "OnlyGerman 0419", r
r = Empty : r = o.SetLanguage(&H411, False) : Report "SetLanguage 0411", r
r = Empty : r = o.GetCurCharsetCode : Report "charset 0411", r
r = Empty : r = o.GetLanguageString("Demo", "Greeting") : ReportText "Greeting 0411", r, 1
r = Empty : r = o.SetLanguage(&H407, False) : Report "SetLanguage 0407", r
r = Empty : r = o.GetLanguageString("Demo", "Greeting") : Report "Greeting 0407", r
r = Empty : r = o.SetLanguage(&H409, False) : Report "SetLanguage 0409", r
r = Empty : r = o.GetCurCharsetCode() : Report "charset 0409", r

r = Empty : r = o.GetConfigString("Server", "Host") : Report "Host", r
t = "old" : r = Empty : r = o.GetConfigString2(t, "Server", "Timeout") : Report "GetConfigString2 missing", r
Report "GetConfigString2 missing value", t
r = Empty : r = o.SetConfigString("30", "Server", "Timeout") : Report "SetConfigString", r
r = Empty : r = o.GetConfigString("Server", "Timeout") : Report "Timeout", r
r = Empty : r = o.RefreshConfDB() : Report "RefreshConfDB", r
t = "old" : r = Empty : r = o.GetConfigString2(t, "Server", "Timeout") : Report "GetConfigString2", r
Report "GetConfigString2 value", t

r = Empty : r = o.AddLogLine(Now, 1, "a", "b", 2, "c", "d", "e", "f") : Report "AddLogLine", r
r = Empty : r = o.RefreshLangDB() : Report "RefreshLangDB", r
r = Empty : r = o.GetLanguageString("Demo", "Greeting") : Report "Greeting after RefreshLangDB", r

r = Empty : r = o.SetLanguage("abc", False) : Report "SetLanguage text", r
r = Empty : r = o.SetLanguage(70000, False) : Report "SetLanguage 70000", r
r = Empty : r = o.GetLanguageString("Demo") : Report "GetLanguageString one argument", r
r = Empty : r = o.NoSuchMethod() : Report "NoSuchMethod", r
r = Empty : r = o.GetCurCharsetCode() : Report "charset after errors", r

Set o = Nothing
WScript.Quit 0
