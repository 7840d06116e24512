' quennet_print.vbs <text file> <SETTING> <PORT> <MODE> [wait:<file> | <text file> <SETTING> <PORT> <MODE>]...
' Prints the text of a UTF-16 file through Quennet.lumtag's ExecPrint, once
' per group of four arguments, all on one control. The other three arguments
' of a group are typed values, passed as variables (by reference):
'   s:<text>  a String        i:<n>  a Long        d:<x>  a Double
'   f:<file>  the text of a UTF-16 file (for text with spaces, tabs, line breaks)
'   null      Null            empty  Empty
' wait:<file> between two groups holds the next print until <file> exists, so
' that the caller can change what the ports are mapped to in between.
' Output per print: "TEXT <label> <length of the text> <length of MODE, or ->",
' then "RESULT <label>|<Err.Number>|<Err.Description>|<TypeName of result>",
' with the labels print, print2, print3, ...; then DONE.
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
        Case Else: Err.Raise 5, "quennet_print.vbs", "bad argument spec " & spec
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

' The length of a text mode, "-" for any other value: shows that spaces,
' tabs and line breaks in a mode reached the control.
Function ModeLength(value)
    If VarType(value) = vbString Then ModeLength = CStr(Len(value)) Else ModeLength = "-"
End Function

Dim args, c, i, n, label, text, setting, port, mode, r
Set args = WScript.Arguments
Set c = CreateObject("Quennet.lumtag")
i = 0
n = 0
Do While i < args.Count
    If Left(args(i), 5) = "wait:" Then
        WaitFor Mid(args(i), 6)
        i = i + 1
    Else
        n = n + 1
        If n = 1 Then label = "print" Else label = "print" & n
        text = ReadText(args(i))
        setting = Decode(args(i + 1))
        port = Decode(args(i + 2))
        mode = Decode(args(i + 3))
        WScript.Echo "TEXT " & label & " " & Len(text) & " " & ModeLength(mode)
        On Error Resume Next
        r = c.ExecPrint(text, setting, port, mode)
        WScript.Echo "RESULT " & label & "|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
        Err.Clear
        On Error Goto 0
        i = i + 4
    End If
Loop
WScript.Echo "DONE"
