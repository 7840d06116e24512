' print_file.vbs <text file> <N_TIME> <SETTING> <PORT>
' Prints the text of a UTF-16 file through Tessmer.lumtag's ExecPrint. The
' other three arguments are typed values, passed as variables (by reference):
'   s:<text>  a String        i:<n>  a Long        d:<x>  a Double
'   null      Null            empty  Empty
' Output: "RESULT print|<Err.Number>|<Err.Description>|<TypeName of result>",
' then the arguments' types after the call, then DONE.
Option Explicit

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
        Case "null": Decode = Null
        Case "empty": Decode = Empty
        Case Else: Err.Raise 5, "print_file.vbs", "bad argument spec " & spec
    End Select
End Function

Function ReadText(path)
    Dim fso, f
    Set fso = CreateObject("Scripting.FileSystemObject")
    Set f = fso.OpenTextFile(path, 1, False, -1)
    If f.AtEndOfStream Then
        ReadText = ""
    Else
        ReadText = f.ReadAll()
    End If
    f.Close
End Function

Dim args, text, ntime, setting, port, c, r
Set args = WScript.Arguments
text = ReadText(args(0))
ntime = Decode(args(1))
setting = Decode(args(2))
port = Decode(args(3))
WScript.Echo "TEXT " & Len(text)

Set c = CreateObject("Tessmer.lumtag")

On Error Resume Next
r = c.ExecPrint(text, ntime, setting, port)
WScript.Echo "RESULT print|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear
On Error Goto 0
WScript.Echo "AFTER " & TypeName(text) & "," & Len(text) & "|" & TypeName(ntime) & "|" & _
    TypeName(setting) & "|" & TypeName(port)
WScript.Echo "DONE"
