' print_network.vbs <port>
' Prints a label through the Ostrel control to a network printer listening
' on 127.0.0.1:<port>: connect, wait for state "7", send.
Option Explicit

Dim c, started, state
Set c = CreateObject("Tessmer.lumtag")
On Error Resume Next
c.SocConnect "127.0.0.1", WScript.Arguments(0)
started = Timer
state = c.SocSts()
Do While state <> "7" And Timer - started < 10
    state = c.SocSts()
Loop
c.SendData "^XA^FO50,50^A0N,40,40^FDOstrel network label^FS^XZ"
WScript.Echo "network label: state " & state & "; Err.Number=" & Err.Number & " " & Err.Description
Set c = Nothing
