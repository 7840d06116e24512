// exec_print.js <ProgID> <text file> <arg> <arg> <arg> [<text file> <arg> <arg> <arg>]...
// Calls ExecPrint of a new <ProgID> control once per group of four
// arguments, all on the one control: the text of a UTF-16 file, then the
// member's other three arguments (Tessmer.lumtag: N_TIME, SETTING, PORT;
// Quennet.lumtag: SETTING, PORT, lsPrint_Mode) as typed values:
//   s:<text>  a string        i:<n> / d:<x>  a number        f:<file>  the text of a UTF-16 file
//   null      null            empty  undefined (Empty to the control)
// Output per print: "TEXT <label> <length of the text> <length of the last
// argument when it is text, or ->", then "RESULT <label>|<e.number>|
// <e.description>|<typeof result>" (0 and an empty description when the
// call succeeds), with the labels print, print2, ...; then DONE.

function readText(path) {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    var f = fso.OpenTextFile(path, 1, false, -1);
    var text = f.AtEndOfStream ? "" : f.ReadAll();
    f.Close();
    return text;
}

function decode(spec) {
    var colon = spec.indexOf(":");
    var kind = colon < 0 ? spec : spec.substring(0, colon);
    var value = colon < 0 ? "" : spec.substring(colon + 1);
    switch (kind) {
        case "s": return value;
        case "i": return parseInt(value, 10);
        case "d": return parseFloat(value);
        case "f": return readText(value);
        case "null": return null;
        case "empty": return undefined;
    }
    throw new Error("bad argument spec " + spec);
}

var args = WScript.Arguments;
var c = new ActiveXObject(args(0));
for (var i = 1, n = 1; i + 3 < args.length; i += 4, ++n) {
    var label = n == 1 ? "print" : "print" + n;
    var text = readText(args(i));
    var a2 = decode(args(i + 1)), a3 = decode(args(i + 2)), a4 = decode(args(i + 3));
    // The length of a text argument, "-" for any other value: shows that
    // spaces, tabs and line breaks in a mode reached the control.
    WScript.Echo("TEXT " + label + " " + text.length + " " + (typeof a4 == "string" ? a4.length : "-"));
    var number = 0, description = "", r = undefined;
    try {
        r = c.ExecPrint(text, a2, a3, a4);
    } catch (e) {
        number = e.number;
        description = e.description;
    }
    WScript.Echo("RESULT " + label + "|" + number + "|" + description + "|" + typeof r);
}
WScript.Echo("DONE");
