' print_label.vbs short|long
' Prints a label through the Ostrel control (ProgID Tessmer.lumtag) to COM5:
' "short" is one small label; "long" is a list of 120 items, more than 8090
' characters, which the control sends in pieces.
Option Explicit

Dim c, label, i

If WScript.Arguments(0) = "short" Then
    label = "^XA^FO50,50^A0N,40,40^FDOstrel demo label^FS" & _
            "^FO50,110^BCN,80,Y,N,N^FD0123456789^FS^XZ"
Else
    label = "^XA^LL3800"
    For i = 1 To 120
        label = label & "^FO30," & (20 + i * 30) & "^A0N,24,24^FDItem " & Right("000" & i, 3) & _
            " - shelf " & Chr(65 + (i Mod 26)) & "-" & (i * 7 Mod 100) & " - checked and packed^FS"
    Next
    label = label & "^XZ"
End If

Set c = CreateObject("Tessmer.lumtag")
On Error Resume Next
c.ExecPrint label, 0, "9600,N,8,1", 5
WScript.Echo WScript.Arguments(0) & " label: " & Len(label) & " characters sent; Err.Number=" & _
    Err.Number & " " & Err.Description
