' exec_print.vbs <ProgID> <text file> <arg> <arg> <arg> [wait:<file> | <text file> <arg> <arg> <arg>]...
' Calls ExecPrint of a new <ProgID> control once per group of four
' arguments, all on the one control: the text of a UTF-16 file, then the
' member's other three arguments (Tessmer.lumtag: N_TIME, SETTING, PORT;
' Quennet.lumtag: SETTING, PORT, lsPrint_Mode) as typed values, passed as
' variables (by reference):
'   s:<text>  a String        i:<n>  a Long        d:<x>  a Double
'   f:<file>  the text of a UTF-16 file (for text with spaces, tabs, line breaks)
'   null      Null            empty  Empty
' wait:<file> between two groups holds the next print until <file> exists, so
' that the caller can change what the ports are mapped to in between.
' Output per print: "TEXT <label> <length of the text> <length of the last
' argument when it is text, or ->", then "RESULT <label>|<Err.Number>|
' <Err.Description>|<TypeName of result>", then "AFTER <label> <the
' arguments' types after the call>", with the labels print, print2, ...;
' then DONE.
Option Explicit

Dim fso
Set fso = CreateObject("Scripting.FileSystemObject")

Function ReadText(path)
    Dim f
    Set f = fso.OpenTextFile(path, 1, False, -1)
    If f.AtEndOfStream Then
        ReadText = ""
    Else
        ReadText = f.ReadAll()
    End If
    f.Close
End Function

Function Decode(spec)
    Dim colon, kind, value
    colon = InStr(spec, ":")
    If colon = 0 Then
        kind = spec
        value = ""
    Else
        kind = Left(spec, colon - 1)
        value = Mid(spec, colon + 1)
    End If
    Select Case kind
        Case "s": Decode = value
        Case "i": Decode = CLng(value)
        Case "d": Decode = CDbl(value)
        Case "f": Decode = ReadText(value)
        Case "null": Decode = Null
        Case "empty": Decode = Empty
        Case Else: Err.Raise 5, "exec_print.vbs", "bad argument spec " & spec
    End Select
End Function

' Wine's cscript has no WScript.Sleep: poll, and give up after two minutes
' so that a caller that went away leaves no script behind.
Sub WaitFor(path)
    Dim started
    started = Timer
    Do While Not fso.FileExists(path)
        If Abs(Timer - started) > 120 Then
            WScript.Echo "WAIT gave up on " & path
            WScript.Quit 1
        End If
    Loop
End Sub

' The length of a text argument, "-" for any other value: shows that spaces,
' tabs and line breaks in a mode reached the control.
Function TextLength(value)
    If VarType(value) = vbString Then TextLength = CStr(Len(value)) Else TextLength = "-"
End Function

Dim args, c, i, n, label, text, a2, a3, a4, r
Set args = WScript.Arguments
Set c = CreateObject(args(0))
i = 1
n = 0
Do While i < args.Count
    If Left(args(i), 5) = "wait:" Then
        WaitFor Mid(args(i), 6)
        i = i + 1
    Else
        n = n + 1
        If n = 1 Then label = "print" Else label = "print" & n
        text = ReadText(args(i))
        a2 = Decode(args(i + 1))
        a3 = Decode(args(i + 2))
        a4 = Decode(args(i + 3))
        WScript.Echo "TEXT " & label & " " & Len(text) & " " & TextLength(a4)
        r = Empty
        On Error Resume Next
        r = c.ExecPrint(text, a2, a3, a4)
        WScript.Echo "RESULT " & label & "|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
        Err.Clear
        On Error Goto 0
        WScript.Echo "AFTER " & label & " " & TypeName(text) & "," & Len(text) & "|" & TypeName(a2) & "|" & _
            TypeName(a3) & "|" & TypeName(a4)
        i = i + 4
    End If
Loop
WScript.Echo "DONE"
