' installed_print.vbs <network port> <tag>
' Prints one label through each control as the package installed it: Ostrel
' to a network printer on 127.0.0.1:<network port>, Quennet to LPT1. <tag>
' goes into both labels, so the caller can tell which host printed them.
' Output: RESULT lines (label|Err.Number|Err.Description|TypeName), STATE, DONE.
Option Explicit

Dim ostrel, quennet, state, started, r, port, tag, text, settings, portNumber, mode
port = WScript.Arguments(0)
tag = WScript.Arguments(1)

On Error Resume Next
Set ostrel = CreateObject("Tessmer.lumtag")
WScript.Echo "RESULT create Ostrel|" & Err.Number & "|" & Err.Description & "|" & TypeName(ostrel)
Err.Clear
r = ostrel.SocConnect("127.0.0.1", port)
WScript.Echo "RESULT connect|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear
' Connected ("7"), refused or closed ("8", "9"), or out of time.
started = Timer
Do
    state = ostrel.SocSts()
Loop While state <> "7" And state <> "8" And state <> "9" And Timer - started < 20
WScript.Echo "STATE " & state
r = ostrel.SendData("^XA^FDOstrel " & tag & "^FS^XZ")
WScript.Echo "RESULT send|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear
Set ostrel = Nothing

Set quennet = CreateObject("Quennet.lumtag")
WScript.Echo "RESULT create Quennet|" & Err.Number & "|" & Err.Description & "|" & TypeName(quennet)
Err.Clear
text = "^XA^FDQuennet " & tag & "^FS^XZ"
settings = ""
portNumber = ""
mode = "LPT"
r = quennet.ExecPrint(text, settings, portNumber, mode)
WScript.Echo "RESULT print|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear
Set quennet = Nothing
WScript.Echo "DONE"
