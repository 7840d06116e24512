' print_quennet.vbs
' Prints a label through the Quennet control (ProgID Quennet.lumtag) to LPT1:
' the mode "LPT" selects the parallel port; settings and port number are not read.
Option Explicit

Dim c, label
label = "^XA^FO50,50^A0N,40,40^FDQuennet demo label^FS" & _
        "^FO50,110^B3N,N,80,Y,N^FDQUENNET01^FS^XZ"

Set c = CreateObject("Quennet.lumtag")
On Error Resume Next
c.ExecPrint label, "", 0, "LPT"
WScript.Echo "LPT1 label: " & Len(label) & " characters sent; Err.Number=" & Err.Number & " " & Err.Description
