"""List file: names one per line, read with the text-mode rules, appended
after the command-line items."""

import os
import unittest

import harness
from harness import (ERROR_TEXT, TesselCase, add_table, archive, entry,
                     skip_on_windows)


class ListText(TesselCase):
    """Each row: the list file's bytes and the items it must yield, in order.
    Every item is created as a file holding its own name, so the archive
    shows exactly which items were read."""


def windows_has_no_file_named(item):
    """Windows allows no control characters in a file's name, drops a
    trailing space, and passes bytes above 0x7F through a code page."""
    return any(b < 0x20 or b > 0x7F for b in item) or item.endswith(b" ")


def _list_case(self, text, items):
    # On Windows an item that cannot name a file there shows, byte for byte,
    # in the warning for a missing file instead of in the archive.
    stored = [i for i in items if not (harness.WINDOWS and windows_has_no_file_named(i))]
    for item in stored:
        with open(os.path.join(os.fsencode(self.dir), item), "wb") as f:
            f.write(item)
    self.write("names.lst", text)
    r = self.tessel("-fnames.lst", "out.arc")
    self.assertStderr(r, b"".join(b"Warning: file %s is not exist!\n" % i
                                  for i in items if i not in stored), 0)
    self.assertEqual(self.read("out.arc"), archive([entry(i, i) for i in stored]))


add_table(ListText, {
    "lf": (b"a.txt\nb.txt\n", [b"a.txt", b"b.txt"]),
    "crlf": (b"a.txt\r\nb.txt\r\n", [b"a.txt", b"b.txt"]),
    "no_final_line_feed": (b"a.txt\nb.txt", [b"a.txt", b"b.txt"]),
    "empty_lines_ignored": (b"\na.txt\n\n\r\nb.txt\n\n", [b"a.txt", b"b.txt"]),
    "only_line_feeds": (b"\n\n\n", []),
    "lone_cr_stays": (b"x\ry\n", [b"x\ry"]),
    "cr_cr_lf_keeps_one_cr": (b"a\r\r\nb\n", [b"a\r", b"b"]),
    "cr_at_end_stays": (b"a\nb\r", [b"a", b"b\r"]),
    "spaces_kept": (b" a.txt \n\tb\n", [b" a.txt ", b"\tb"]),
    "hash_is_not_a_comment": (b"#c\n", [b"#c"]),
    "ctrl_z_ends_text": (b"a.txt\nb\x1a.txt\nc.txt\n", [b"a.txt", b"b"]),
    "cr_before_ctrl_z_stays": (b"a\r\x1a\n", [b"a\r"]),
    "zero_byte_ends_list": (b"a.txt\nb.t\0xt\nc.txt\n", [b"a.txt", b"b.t"]),
    "zero_byte_first": (b"\0a.txt\n", []),
    "high_bytes_kept": (b"\xe9t\xe9\n", [b"\xe9t\xe9"]),
}, _list_case)


class ListOrder(TesselCase):
    def test_after_command_line_items(self):
        for n in ("a", "b", "c", "d"):
            self.write(n, n.encode())
        self.write("names.lst", b"c\nmissing\nd\na\n")
        r = self.tessel("-v", "-fnames.lst", "out.arc", "b", "a")
        self.assertStderr(r, b"processing b -> b is Ok\n"
                             b"processing a -> a is Ok\n"
                             b"processing c -> c is Ok\n"
                             b"processing missing Warning: file missing is not exist!\n"
                             b"processing d -> d is Ok\n"
                             b"processing a -> a is Ok\n", 0)
        self.assertEqual(self.read("out.arc"), archive(
            [entry(n, n.encode()) for n in ("b", "a", "c", "d", "a")]))

    def test_thousands_of_names_cross_growth_steps(self):
        names = ["d/%04d" % i for i in range(2550)]
        for n in names:
            self.write(n, n.encode())
        self.write("names.lst", "".join(n + "\r\n" for n in names).encode())
        r = self.tessel("-fnames.lst", "out.arc")
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc"),
                         archive([entry(n[2:], n.encode()) for n in names]))


class ListSwitch(TesselCase):
    def setUp(self):
        super().setUp()
        for n in ("a", "b", "c"):
            self.write(n, n.encode())
        self.write("one.lst", b"a\n")
        self.write("two.lst", b"b\n")

    def test_last_f_counts(self):
        r = self.tessel("-fone.lst", "-ftwo.lst", "out.arc")
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc"), archive([entry("b", b"b")]))

    def test_f_in_combined_word(self):
        r = self.tessel("-1vfone.lst", "out.arc")
        self.assertStderr(r, b"processing a -> a is Ok\n", 0)
        self.assertEqual(self.read("out.arc"), archive([entry("a", b"a", 1)], 1))

    def test_f_as_separate_word_takes_no_name(self):
        r = self.tessel("-f", "one.lst", "c", "b")
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("one.lst"), archive([entry("c", b"c"), entry("b", b"b")]))
        self.assertFalse(os.path.exists(self.path("out.arc")))


class ListFailure(TesselCase):
    """The list cannot be used: the system error line for its name, status 1,
    and the archive keeps its header."""

    def check(self, list_name, error):
        self.write("a", b"a")
        r = self.tessel("-f" + list_name, "out.arc", "a", timeout=20)
        self.assertStderr(r, list_name.encode() + b": " + ERROR_TEXT[error] + b"\n", 1)
        self.assertEqual(self.read("out.arc"), bytes([0xFF, 0x00, 0x26, 0x02]))

    def test_missing(self):
        self.check("missing.lst", "ENOENT")

    def test_empty(self):
        self.write("names.lst", b"")
        self.check("names.lst", "none")

    def test_ctrl_z_first_counts_as_empty(self):
        self.write("names.lst", b"\x1aa\n")
        self.check("names.lst", "none")

    def test_directory(self):
        os.mkdir(self.path("names.lst"))
        self.check("names.lst", "EACCES")

    @skip_on_windows("FIFOs are a POSIX feature")
    def test_fifo_does_not_block(self):
        os.mkfifo(self.path("names.lst"))
        self.check("names.lst", "EACCES")


if __name__ == "__main__":
    unittest.main()
