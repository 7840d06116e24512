' literals.vbs <case>
' ExecPrint calls written with literal arguments (passed by value) and with
' variables (passed by reference), one case per run. Each call prints
' "RESULT <label>|<Err.Number>|<Err.Description>|<TypeName of result>";
' the last line is DONE.
Option Explicit

Dim c, r
Set c = CreateObject("Tessmer.lumtag")

Sub Report(label)
    WScript.Echo "RESULT " & label & "|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
    Err.Clear
    r = Empty
End Sub

On Error Resume Next
Select Case WScript.Arguments(0)
    Case "label"
        r = c.ExecPrint("^XA^FO50,50^FDHello^FS^XZ", 0, "9600,N,8,1", 5)
        Report "print"
    Case "statement"
        c.ExecPrint "^XA^FDstatement^FS^XZ", 0, "9600,N,8,1", 5
        Report "print"
    Case "port_overflow"
        r = c.ExecPrint("never", 0, "9600,N,8,1", 40000)
        Report "print"
    Case "setting_null"
        r = c.ExecPrint("never", 0, Null, 5)
        Report "print"
    Case "port_null"
        r = c.ExecPrint("never", 0, "9600,N,8,1", Null)
        Report "print"
    Case "port_text"
        r = c.ExecPrint("never", 0, "9600,N,8,1", "five")
        Report "print"
    Case "too_few_arguments"
        r = c.ExecPrint("never", 0, "9600,N,8,1")
        Report "print"
    Case "ntime_text_then_print"
        r = c.ExecPrint("first;", "abc", "9600,N,8,1", 5)
        Report "first"
        r = c.ExecPrint("second;", 0, "9600,N,8,1", 5)
        Report "second"
    Case "failure_then_print"
        r = c.ExecPrint("never", 0, "fast", 5)
        Report "first"
        r = c.ExecPrint("after;", 0, "9600,N,8,1", 5)
        Report "second"
    Case "variables_unchanged"
        Dim text, ntime, setting, port
        text = "  byref  "
        ntime = "0"
        setting = "9600,N,8,1"
        port = "5"
        r = c.ExecPrint(text, ntime, setting, port)
        Report "print"
        WScript.Echo "AFTER [" & text & "]" & TypeName(text) & "|[" & ntime & "]" & TypeName(ntime) & _
            "|[" & setting & "]" & TypeName(setting) & "|[" & port & "]" & TypeName(port)
        port = 6.5
        r = c.ExecPrint("half;", 0, setting, port)
        Report "double"
        WScript.Echo "AFTER2 [" & port & "]" & TypeName(port)
    Case Else
        WScript.Echo "unknown case " & WScript.Arguments(0)
        WScript.Quit 2
End Select
WScript.Echo "DONE"
