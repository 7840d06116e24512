// quennet_print.js <text file> <SETTING> <PORT> <MODE>
// Prints the text of a UTF-16 file through Quennet.lumtag's ExecPrint. The
// other three arguments are typed values:
//   s:<text>  a string        i:<n> / d:<x>  a number        f:<file>  the text of a UTF-16 file
//   null      null            empty  undefined (Empty to the control)
// Output: "TEXT print <length of the text> <length of MODE, or ->", then
// "RESULT print|<e.number>|<e.description>|<typeof result>" (0 and an
// empty description when the call succeeds), then DONE.

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
var text = readText(args(0));
var setting = decode(args(1));
var port = decode(args(2));
var mode = decode(args(3));
// The length of a text mode, "-" for any other value: shows that spaces,
// tabs and line breaks in a mode reached the control.
WScript.Echo("TEXT print " + text.length + " " + (typeof mode == "string" ? mode.length : "-"));

var c = new ActiveXObject("Quennet.lumtag");
var number = 0, description = "", r;
try {
    r = c.ExecPrint(text, setting, port, mode);
} catch (e) {
    number = e.number;
    description = e.description;
}
WScript.Echo("RESULT print|" + number + "|" + description + "|" + typeof r);
WScript.Echo("DONE");
