"""End to end: how ExecPrint converts its arguments, and the errors a script sees.

PORT becomes a 16-bit integer (rounding half to even: 6.5 -> 6, 7.5 -> 8; a
text such as "5" is read as a number), SETTING becomes text, N_TIME a 32-bit
integer, converted after the writes. VBScript sees the error number in
Err.Number (6 Overflow, 13 Type mismatch, 94 Invalid use of Null, 380 Invalid
property value); JScript sees the HRESULT 0x800Annnn in e.number. The
description names the argument at fault.

Bytes written to COM6 arrive at COM5's link and bytes to COM7 at COM8's, so
the port a number was converted to shows in where the bytes arrive.
"""

import unittest

import e2elib as e2e

SETTING = "s:9600,N,8,1"


class Ports(e2e.PortReaders):
    PORTS = ("COM5", "COM6", "COM7", "COM8")


class VariableArguments(Ports):
    """Arguments passed as script variables (exec_print.vbs / .js)."""

    SCRIPT = None

    def expect_error(self, number):
        raise NotImplementedError

    def print_(self, text, ntime="i:0", setting=SETTING, port="i:5"):
        path = e2e.write_text("conv.txt", text)
        result = e2e.cscript(self.SCRIPT, "Tessmer.lumtag", path, ntime, setting, port)
        self.assertTrue(result.done, result)
        return result.results["print"]

    def assertFails(self, outcome, number, names):
        code, description, _ = outcome
        self.assertEqual(code, self.expect_error(number), outcome)
        self.assertIn(names, description, outcome)
        self.assertEqual(self.arrived(), {}, "nothing may reach a port")

    def test_port_as_text_is_read_as_number(self):
        self.assertEqual(self.print_("text-port;", port="s:5")[0], 0)
        self.assertEqual(self.arrived(), {"COM5": b"text-port;"})

    def test_port_rounds_half_to_even(self):
        self.assertEqual(self.print_("six;", port="d:6.5")[0], 0)
        self.assertEqual(self.arrived(), {"COM6": b"six;"})
        self.assertEqual(self.print_("eight;", port="d:7.5")[0], 0)
        self.assertEqual(self.arrived(), {"COM8": b"eight;"})
        self.assertEqual(self.print_("seven;", port="d:7.4")[0], 0)
        self.assertEqual(self.arrived(), {"COM7": b"seven;"})

    def test_port_overflow(self):
        self.assertFails(self.print_("never", port="i:40000"), 6, "PORT")

    def test_port_not_a_number(self):
        self.assertFails(self.print_("never", port="s:five"), 13, "PORT")

    def test_port_null(self):
        self.assertFails(self.print_("never", port="null"), 94, "PORT")

    def test_port_zero_and_negative(self):
        for port in ("i:0", "i:-1", "i:-32768"):
            code, description, _ = self.print_("never", port=port)
            self.assertEqual(code, self.expect_error(380), (port, description))
            self.assertNotEqual(description, "")
        self.assertEqual(self.arrived(), {})

    def test_setting_null(self):
        self.assertFails(self.print_("never", setting="null"), 94, "SETTING")

    def test_bad_setting_text(self):
        for setting in ("s:fast", "s:9600,N,8", "s:9600,Q,8,1", "s:"):
            code, description, _ = self.print_("never", setting=setting)
            self.assertEqual(code, self.expect_error(380), (setting, description))
            self.assertNotEqual(description, "")
        self.assertEqual(self.arrived(), {})

    def test_other_settings_print(self):
        for setting in ("s:19200,E,7,2", "s:4800,o,8,1"):
            self.assertEqual(self.print_("set;", setting=setting)[0], 0, setting)
            self.assertEqual(self.arrived(), {"COM5": b"set;"})

    def test_ntime_not_a_number_fails_after_the_writes(self):
        text = e2e.pattern(9000)
        code, description, _ = self.print_(text, ntime="s:abc")
        self.assertEqual(code, self.expect_error(13), description)
        self.assertIn("N_TIME", description)
        self.assertEqual(self.arrived(), {"COM5": text.encode()})
        # The port was closed again: the next print goes out.
        self.assertEqual(self.print_("again;")[0], 0)
        self.assertEqual(self.arrived(), {"COM5": b"again;"})

    def test_ntime_as_text_number_prints(self):
        self.assertEqual(self.print_("ntime;", ntime="s:0")[0], 0)
        self.assertEqual(self.arrived(), {"COM5": b"ntime;"})


class VBScriptVariables(e2e.VBScriptPrint, VariableArguments, unittest.TestCase):
    pass


class JScriptVariables(e2e.JScriptPrint, VariableArguments, unittest.TestCase):
    pass


class VBScriptLiterals(Ports, unittest.TestCase):
    """Literal arguments (passed by value) and the state the control keeps
    between calls (literals.vbs, one case per run)."""

    def run_case(self, case):
        result = e2e.cscript("literals.vbs", case)
        self.assertTrue(result.done, result)
        return result

    def test_label_as_function_and_as_statement(self):
        result = self.run_case("label")
        self.assertEqual(result.results["print"], (0, "", "Empty"))
        self.assertEqual(self.arrived(), {"COM5": b"^XA^FO50,50^FDHello^FS^XZ"})
        result = self.run_case("statement")
        self.assertEqual(result.results["print"][0], 0)
        self.assertEqual(self.arrived(), {"COM5": b"^XA^FDstatement^FS^XZ"})

    def test_literal_errors(self):
        cases = {
            "port_overflow": (6, "PORT"),
            "port_null": (94, "PORT"),
            "port_text": (13, "PORT"),
            "setting_null": (94, "SETTING"),
        }
        for case, (number, names) in cases.items():
            with self.subTest(case=case):
                code, description, _ = self.run_case(case).results["print"]
                self.assertEqual(code, number, description)
                self.assertIn(names, description)
        self.assertEqual(self.arrived(), {})

    def test_all_four_arguments_required(self):
        code, description, _ = self.run_case("too_few_arguments").results["print"]
        self.assertNotEqual(code, 0)
        self.assertNotEqual(description, "")
        self.assertEqual(self.arrived(), {})

    def test_print_after_ntime_error_on_same_control(self):
        result = self.run_case("ntime_text_then_print")
        self.assertEqual(result.results["first"][0], 13, result)
        self.assertIn("N_TIME", result.results["first"][1])
        self.assertEqual(result.results["second"][0], 0, result)
        self.assertEqual(self.arrived(), {"COM5": b"first;second;"})

    def test_print_after_settings_error_on_same_control(self):
        result = self.run_case("failure_then_print")
        self.assertEqual(result.results["first"][0], 380, result)
        self.assertEqual(result.results["second"][0], 0, result)
        self.assertEqual(self.arrived(), {"COM5": b"after;"})

    def test_variables_keep_value_and_type(self):
        result = self.run_case("variables_unchanged")
        self.assertEqual(result.results["print"][0], 0, result)
        self.assertIn("AFTER [  byref  ]String|[0]String|[9600,N,8,1]String|[5]String", result.lines)
        self.assertEqual(result.results["double"][0], 0, result)
        self.assertIn("AFTER2 [6.5]Double", result.lines)
        self.assertEqual(self.arrived(), {"COM5": b"  byref  ", "COM6": b"half;"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
