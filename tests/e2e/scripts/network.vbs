' network.vbs <port>
' A host page's network print: SocConnect to a printer on 127.0.0.1:<port>,
' poll SocSts until "7", SendData a label, then the refusals a page can meet.
' Output: RESULT lines (see e2elib.py), STATE lines, then DONE.
Option Explicit

Dim c, r, port, state, started, label
port = WScript.Arguments(0)
Set c = CreateObject("Tessmer.lumtag")

On Error Resume Next
r = c.SendData("^XA^XZ")
WScript.Echo "RESULT early send|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear

WScript.Echo "STATE before " & c.SocSts() & " " & TypeName(c.SocSts())
r = c.SocConnect("127.0.0.1", port)
WScript.Echo "RESULT connect|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear

' Wine's cscript has no WScript.Sleep: poll on Timer, bounded.
started = Timer
state = c.SocSts()
Do While state <> "7" And Timer - started < 10
    state = c.SocSts()
Loop
WScript.Echo "STATE connected " & state

label = "^XA^FO40,30^FDNetwork " & Chr(196) & "^FS^XZ"
r = c.SendData(label)
WScript.Echo "RESULT send|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear

r = c.SocConnect("127.0.0.1", port)
WScript.Echo "RESULT connect again|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear

r = c.SocConnect(Null, port)
WScript.Echo "RESULT null host|" & Err.Number & "|" & Err.Description & "|" & TypeName(r)
Err.Clear

r = c.dectohex("FF")
WScript.Echo "RESULT hex|" & Err.Number & "|" & r & "|" & TypeName(r)
Err.Clear

Set c = Nothing
WScript.Echo "DONE"
