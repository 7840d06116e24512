// print_file.js <text file> <N_TIME> <SETTING> <PORT>
// Prints the text of a UTF-16 file through Tessmer.lumtag's ExecPrint. The
// other three arguments are typed values:
//   s:<text>  a string        i:<n> / d:<x>  a number        null
// Output: "RESULT print|<e.number>|<e.description>|<typeof result>" (0 and an
// empty description when the call succeeds), then DONE.

function decode(spec) {
    var colon = spec.indexOf(":");
    var kind = colon < 0 ? spec : spec.substring(0, colon);
    var value = colon < 0 ? "" : spec.substring(colon + 1);
    switch (kind) {
        case "s": return value;
        case "i": return parseInt(value, 10);
        case "d": return parseFloat(value);
        case "null": return null;
    }
    throw new Error("bad argument spec " + spec);
}

function readText(path) {
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    var f = fso.OpenTextFile(path, 1, false, -1);
    var text = f.AtEndOfStream ? "" : f.ReadAll();
    f.Close();
    return text;
}

var args = WScript.Arguments;
var text = readText(args(0));
var ntime = decode(args(1));
var setting = decode(args(2));
var port = decode(args(3));
WScript.Echo("TEXT " + text.length);

var c = new ActiveXObject("Tessmer.lumtag");
var number = 0, description = "", r;
try {
    r = c.ExecPrint(text, ntime, setting, port);
} catch (e) {
    number = e.number;
    description = e.description;
}
WScript.Echo("RESULT print|" + number + "|" + description + "|" + typeof r);
WScript.Echo("DONE");
