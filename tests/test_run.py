"""Command line and run sequence: switches, the archive's name, the work
list, exit status and messages."""

import os
import subprocess
import unittest

from harness import (ERROR_TEXT, TESSEL, USAGE, TesselCase, add_table, archive,
                     entry, hexbytes, skip_on_windows)
import harness

EMPTY2 = "FF 00 26 02 ED"
EMPTY1 = "FF 00 26 01 ED"


class WorkedExample(TesselCase):
    def test_verbose_single_file(self):
        self.write("dir/a.txt", b"abc")
        r = self.tessel("-v", "out.arc", "dir/a.txt")
        self.assertStderr(r, b"processing dir/a.txt -> a.txt is Ok\n", 0)
        self.assertLayout(self.read("out.arc"), [
            (0, "FF 00 26", "ARCHIVE_SIGNATURE"),
            (3, "02", "format version"),
            (4, "D1", "ENTRY_MARK"),
            (5, "61 2E 74 78 74" + " 00" * 26, "name field: a.txt, 0x00-filled"),
            (36, "03 00 00 00", "data size 3"),
            (40, "61 62 63", "data: abc"),
            (43, "E9 03", "checksum 1001"),
            (45, "ED", "END_MARK"),
        ], 46)


class Switches(TesselCase):
    """Each row: words, expected stderr after the banner, status, archive
    bytes (None: no archive is created)."""


def _switch_case(self, words, stderr, status, archive_hex):
    self.write("a.txt", b"abc")
    r = self.tessel(*words)
    self.assertStderr(r, stderr, status)
    if archive_hex is None:
        self.assertNoArchive()
    else:
        self.assertEqual(self.read("out.arc").hex(" "), hexbytes(archive_hex).hex(" "))


A_TXT2 = entry("a.txt", b"abc", 2)
A_TXT1 = entry("a.txt", b"abc", 1)
add_table(Switches, {
    "no_words": ([], USAGE, 1, None),
    "one_word": (["out.arc"], USAGE, 1, None),
    "switches_and_name": (["-v", "out.arc"], b"", 0, EMPTY2),
    "format_1": (["-1", "out.arc"], b"", 0, EMPTY1),
    "h": (["-h", "out.arc"], USAGE, 1, None),
    "h_after_letters": (["-vh", "out.arc", "a.txt"], USAGE, 1, None),
    "illegal_letter": (["-x", "out.arc"], b"detect illegal option x\n" + USAGE, 1, None),
    "illegal_after_v": (["-vx", "out.arc"], b"detect illegal option x\n" + USAGE, 1, None),
    "letters_are_case_sensitive": (["-V", "out.arc"], b"detect illegal option V\n" + USAGE, 1, None),
    "hyphen_alone": (["-", "out.arc", "a.txt"], b"", 0, (archive([A_TXT2])).hex()),
    "combined_vd1n": (["-vd1n", "out.arc", "a.txt"],
                      b"processing a.txt -> a.txt is Ok\n", 0, archive([A_TXT1], 1).hex()),
    "separate_words": (["-1", "-n", "-v", "out.arc", "a.txt"],
                       b"processing a.txt -> a.txt is Ok\n", 0, archive([A_TXT1], 1).hex()),
    "switch_after_name_is_item": (["out.arc", "-v", "a.txt"],
                                  b"Warning: file -v is not exist!\n", 0, archive([A_TXT2]).hex()),
    "no_archive_name": (["-v", "-d"], b"Can't write open \n", 1, None),
    "empty_archive_name": (["-v", ""], b"Can't write open \n", 1, None),
    "empty_f_cancels_earlier_f": (["-fmissing.lst", "-f", "out.arc", "a.txt"], b"", 0,
                                  archive([A_TXT2]).hex()),
    "f_takes_rest_of_word": (["-vfmissing.lst", "out.arc"],
                             b"missing.lst: " + ERROR_TEXT["ENOENT"] + b"\n", 1, "FF 00 26 02"),
}, _switch_case)


class ArchiveName(TesselCase):
    def test_cannot_create(self):
        os.mkdir(self.path("out.arc"))
        r = self.tessel("out.arc", "a.txt")
        self.assertStderr(r, b"Can't write open out.arc\n", 1)
        self.assertTrue(os.path.isdir(self.path("out.arc")))

    def test_longest_accepted_path(self):
        # "./" repeated keeps the path valid however long it is.
        name = "./" * 509 + "out.arc"
        self.assertEqual(len(name), 1025)
        name = name[2:]  # 1023 bytes: the longest that fits
        r = self.tessel(name, "missing")
        self.assertStderr(r, b"Warning: file missing is not exist!\n", 0)
        self.assertEqual(self.read("out.arc").hex(" "), hexbytes(EMPTY2).hex(" "))

    def test_longer_path_is_refused_not_cut(self):
        name = "./" * 509 + "out.arc"  # 1025 bytes
        for n in (name[1:], name):       # 1024 and 1025 bytes
            r = self.tessel(n, "missing")
            self.assertStderr(r, n.encode() + b" is not valid file name\n", 1)
            self.assertEqual(os.listdir(self.dir), [])

    def test_existing_archive_is_truncated(self):
        self.write("out.arc", b"x" * 1000)
        r = self.tessel("out.arc")
        self.assertStderr(r, USAGE, 1)
        self.assertEqual(len(self.read("out.arc")), 1000, "usage stops before creation")
        r = self.tessel("-v", "out.arc")
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc").hex(" "), hexbytes(EMPTY2).hex(" "))


class ListFileName(TesselCase):
    def test_127_bytes_is_used(self):
        name = "l" * 127
        self.write(name, b"a.txt\n")
        self.write("a.txt", b"abc")
        r = self.tessel("-f" + name, "out.arc")
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc"), archive([A_TXT2]))

    def test_128_bytes_is_refused_not_cut(self):
        name = "l" * 128
        # A file named by the 127-byte prefix must never be read.
        self.write("l" * 127, b"a.txt\n")
        r = self.tessel("-f" + name, "out.arc")
        self.assertStderr(r, b"list file name is too long: " + name.encode() + b"\n" + USAGE, 1)
        self.assertNoArchive()


class WorkList(TesselCase):
    def test_items_in_order_with_duplicates_and_missing(self):
        self.write("a/x", b"first")
        self.write("b/x", b"second")
        r = self.tessel("out.arc", "a/x", "nothere", "b/x", "a/x")
        self.assertStderr(r, b"Warning: file nothere is not exist!\n", 0)
        self.assertEqual(self.read("out.arc"), archive([
            entry("x", b"first"), entry("x", b"second"), entry("x", b"first")]))

    def test_many_items_cross_growth_steps(self):
        names = ["f%d" % i for i in range(350)]
        for n in names:
            self.write(n, n.encode())
        r = self.tessel("out.arc", *names)
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc"), archive([entry(n, n.encode()) for n in names]))


class Unreadable(TesselCase):
    """An item that exists but cannot be read stops the run with status 1;
    the archive keeps what was written before it."""

    def check(self, item, error, verbose=True):
        self.write("a.txt", b"abc")
        args = (["-v"] if verbose else []) + ["out.arc", "a.txt", item, "a.txt"]
        r = self.tessel(*args, timeout=20)
        item_b = item.encode()
        progress = b"processing a.txt -> a.txt is Ok\nprocessing " + item_b + b" is not readable\n"
        self.assertStderr(r, (progress if verbose else b"") +
                          item_b + b": " + ERROR_TEXT[error] + b"\n", 1)
        self.assertEqual(self.read("out.arc"), archive([A_TXT2])[:-1],
                         "header and the first entry, no END_MARK")

    def test_directory(self):
        os.mkdir(self.path("sub"))
        self.check("sub", "EACCES")

    def test_directory_quiet(self):
        os.mkdir(self.path("sub"))
        self.check("sub", "EACCES", verbose=False)

    @skip_on_windows("FIFOs are a POSIX feature")
    def test_fifo_does_not_block(self):
        os.mkfifo(self.path("pipe"))
        self.check("pipe", "EACCES")

    def test_item_path_too_long(self):
        item = "./" * 600 + "a.txt"
        self.check(item, "ENAMETOOLONG")

    @skip_on_windows("Windows finds no file by a path of 260 bytes or more (MAX_PATH)")
    def test_item_path_at_limit_is_stored(self):
        self.write("a.txt", b"abc")
        item = ("./" * 600)[:1023 - 5] + "a.txt"
        self.assertEqual(len(item), 1023)
        r = self.tessel("out.arc", item)
        self.assertStderr(r, b"", 0)
        self.assertEqual(self.read("out.arc"), archive([A_TXT2]))


class Missing(TesselCase):
    """The status query finds no file: a warning, and the run goes on."""


def _missing_case(self, item, create):
    if create:
        self.write(create, b"exists")
    r = self.tessel("-v", "out.arc", item)
    self.assertStderr(r, b"processing " + item.encode() + b" Warning: file " +
                      item.encode() + b" is not exist!\n", 0)
    self.assertEqual(self.read("out.arc").hex(" "), hexbytes(EMPTY2).hex(" "))


add_table(Missing, {
    "no_such_file": ("nothere", None),
    "empty_item": ("", None),
    "star_even_when_file_exists": ("a*", "a*"),
    "question_mark_even_when_file_exists": ("a?", "a?"),
    "star_matching_nothing": ("*.txt", None),
    "bare_drive_name_even_when_file_exists": ("C:", "C:"),
}, _missing_case)


@skip_on_windows("closing inherited descriptors is done the POSIX way here")
class ClosedDescriptors(TesselCase):
    def test_messages_never_reach_the_archive(self):
        self.write("a.txt", b"abc")
        for closed in ((2,), (1, 2), (0, 1, 2)):
            with self.subTest(closed=closed):
                def close_fds():
                    for fd in closed:
                        os.close(fd)
                status = subprocess.run(
                    harness.EMULATOR + [harness.TESSEL, "-v", "out.arc", "nothere", "a.txt"],
                    cwd=self.dir, preexec_fn=close_fds, timeout=60).returncode
                self.assertEqual(status, 0)
                self.assertEqual(self.read("out.arc"), archive([A_TXT2]))


class Identification(unittest.TestCase):
    def test_strings_in_binary(self):
        with open(harness.TESSEL, "rb") as f:
            binary = f.read()
        for module in (b"main", b"options", b"file"):
            self.assertRegex(binary, b"@\\(#\\)" + module + b": [0-9.]+ [0-9]{2}/[0-9]{2}/[0-9]{2}")


if __name__ == "__main__":
    unittest.main()
