"""End to end: what ExecPrint puts on the wire, seen at the far end of COM5.

A text shorter than 4048 characters goes out in one write, unchanged. From
4048 characters on, the text is cut into pieces of 8090 characters (from the
first, the 8091st, the 16181st, ...), each piece loses the spaces (U+0020
only) at both of its ends, and the pieces go out in order. Text reaches the
port in the ANSI code page (cp1252 in the harness prefix).

The same cases run from VBScript and from JScript.
"""

import unittest

import e2elib as e2e

SETTING = "s:9600,N,8,1"
PORT5 = "i:5"


def pieces_trimmed(text):
    """The wire form of a text of 4048 characters or more, written out piece by piece."""
    return "".join(text[i:i + 8090].strip(" ") for i in range(0, len(text), 8090))


class PayloadCases:
    SCRIPT = None  # set by the subclasses

    @classmethod
    def setUpClass(cls):
        cls.reader = e2e.PortReader(e2e.pty_path("COM6"))

    @classmethod
    def tearDownClass(cls):
        cls.reader.close()

    def print_text(self, text, name):
        """Prints |text| to COM5; returns (script result, bytes that arrived)."""
        self.reader.drain()
        path = e2e.write_text(name + ".txt", text)
        result = e2e.cscript(self.SCRIPT, "Tessmer.lumtag", path, "i:0", SETTING, PORT5)
        self.assertTrue(result.done, result)
        self.assertEqual(result.lines[0], "TEXT print %d -" % len(text), result)
        expected = len(text.encode("cp1252"))
        data = self.reader.take(expect=expected)
        return result, data

    def assertPrinted(self, text, wire, name):
        result, data = self.print_text(text, name)
        self.assertEqual(result.results["print"][0], 0, result)
        self.assertEqual(result.results["print"][1], "", result)
        if data != wire.encode("cp1252"):
            self.fail("%s: %d bytes arrived, %d expected; first difference at %s"
                      % (name, len(data), len(wire.encode("cp1252")),
                         _first_difference(data, wire.encode("cp1252"))))

    # --- short texts: one write, unchanged --------------------------------

    def test_short_label_unchanged(self):
        label = "^XA^FO50,50^FDHello^FS^XZ"
        self.assertPrinted(label, label, "short")

    def test_short_text_keeps_its_spaces(self):
        text = "   ^XA^FO10,10^FDa b^FS^XZ  "
        self.assertPrinted(text, text, "short_spaces")

    def test_4047_characters_go_out_unchanged(self):
        text = " " + e2e.pattern(4045) + " "
        self.assertEqual(len(text), 4047)
        self.assertPrinted(text, text, "len4047")

    # --- long texts: pieces of 8090 with spaces trimmed -------------------

    def test_4048_characters_lose_end_spaces(self):
        body = e2e.pattern(4046)
        text = " " + body + " "
        self.assertEqual(len(text), 4048)
        self.assertPrinted(text, body, "len4048")

    def test_20000_characters_without_spaces_arrive_whole(self):
        text = e2e.pattern(20000)
        self.assertPrinted(text, text, "len20000")

    def test_spaces_at_piece_ends_are_dropped(self):
        chars = list(e2e.pattern(20000))
        # 0-based indices: pieces are [0, 8090), [8090, 16180), [16180, 20000).
        for i in (0, 1, 99, 8000, 8087, 8088, 8089, 8090, 8091, 8092, 16179, 19998, 19999):
            chars[i] = " "
        chars[16180] = "\t"   # a tab is no space: it stays
        chars[16181] = " "    # kept: behind the tab
        text = "".join(chars)
        wire = pieces_trimmed(text)
        # The rule, spelled out: interior spaces stay, piece ends go, the tab stays.
        self.assertEqual(len(wire), 20000 - 2 - 3 - 3 - 1 - 2)
        self.assertTrue(wire.startswith(text[2:99] + " "))
        self.assertIn(text[8084:8087] + text[8093:8100], wire)
        self.assertIn("\t ", wire)
        self.assertPrinted(text, wire, "piece_ends")

    def test_cut_is_at_8090_characters(self):
        # 8091 characters: the first piece ends in spaces, the second is one character.
        text = e2e.pattern(8085) + "     " + "Z"
        self.assertEqual(len(text), 8091)
        self.assertPrinted(text, e2e.pattern(8085) + "Z", "len8091")

    def test_exactly_two_pieces(self):
        # 16180 characters with a space at both ends of each piece.
        text = " " + e2e.pattern(8088) + "  " + e2e.pattern(8088, 5) + " "
        self.assertEqual(len(text), 16180)
        self.assertPrinted(text, e2e.pattern(8088) + e2e.pattern(8088, 5), "len16180")

    # --- code page ----------------------------------------------------------

    def test_non_ascii_text_in_ansi_code_page(self):
        result, data = self.print_text("Gr\u00f6\u00dfe", "ansi")
        self.assertEqual(result.results["print"][0], 0, result)
        self.assertEqual(data, b"Gr\xf6\xdfe")

    def test_long_non_ascii_text_in_ansi_code_page(self):
        text = ("\u00c4rger \u20ac " * 1000).strip() + "!"
        self.assertGreater(len(text), 4048)
        result, data = self.print_text(text, "ansi_long")
        self.assertEqual(result.results["print"][0], 0, result)
        self.assertEqual(data, pieces_trimmed(text).encode("cp1252"))
        self.assertIn(b"\xc4rger \x80 ", data)


def _first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return "byte %d (%r vs %r)" % (i, a[i:i + 20], b[i:i + 20])
    return "byte %d (one is a prefix of the other)" % min(len(a), len(b))


class VBScriptPayload(PayloadCases, unittest.TestCase):
    SCRIPT = "exec_print.vbs"


class JScriptPayload(PayloadCases, unittest.TestCase):
    SCRIPT = "exec_print.js"


if __name__ == "__main__":
    unittest.main(verbosity=2)
