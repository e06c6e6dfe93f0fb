"""Windows build only: the programs are console programs for the processor
the build is for, needing no DLL but the system's own; for the same inputs
and words, tessel.exe writes the same archive, byte for byte, as the native
Linux build, ends with the same status, and prints the same messages but for
CR LF line ends; untessel.exe reads archives as the native untessel does,
with the same lines, messages and status but for CR LF line ends."""

import os
import struct

import harness
from harness import TesselCase, add_table, archive, entry, run, run_untessel

# Several copy chunks and more than one output buffer; every byte value
# occurs, CR, LF and 0x1A included, so a text-mode stream would show.
SEVERAL_CHUNKS = bytes((i * 7 + i // 251) & 0xFF for i in range(3 * 8192 + 100))
LARGE = bytes((i * 13 + i // 509) & 0xFF for i in range(300000))

SMALL_FILES = {
    "a.txt": b"abc",
    "crlf.txt": b"one\r\ntwo\r\n",
    "ctrl_z.bin": b"x\x1ay\r\n\x00z\n\r",
    "empty": b"",
}
SMALL_WORDS = ["a.txt", "crlf.txt", "missing", "ctrl_z.bin", "*.txt", "empty", "a.txt"]


# The PE machine type and optional header magic for each processor a build
# can be for: the 32-bit programs are the product; where the kernel cannot
# run them, the tests run against the 64-bit ones.
PE_TYPES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}
CONSOLE_SUBSYSTEM = 3
# The programs are linked statically, so that they run on any Windows with
# nothing installed: only the system's own DLLs may be imported, never a
# MinGW runtime DLL (libstdc++-6, libgcc_s, libwinpthread).
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll"}


def pe_header(data):
    """The machine type, the optional header's magic, the subsystem and
    the names of the imported DLLs of a PE executable."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise AssertionError("no PE signature at offset %d" % pe)
    machine, sections, _, _, _, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    subsystem, = struct.unpack_from("<H", data, optional + 68)
    directories = optional + (96 if magic == 0x10B else 112)
    import_rva, = struct.unpack_from("<I", data, directories + 8)
    table = optional + optional_size
    spans = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in spans:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise AssertionError("RVA 0x%x is in no section" % rva)

    names = []
    at = offset(import_rva)
    while True:
        descriptor = struct.unpack_from("<5I", data, at)
        if not any(descriptor):
            break
        start = offset(descriptor[3])
        names.append(data[start:data.index(b"\0", start)].decode())
        at += 20
    return machine, magic, subsystem, names


class Executables(TesselCase):
    """Each row: the program, tessel.exe or untessel.exe."""

    def setUp(self):
        super().setUp()
        if harness.WINDOWS_PROCESSOR is None:
            self.skipTest("the processor the build is for is not given (--windows-processor)")


def _executable_case(self, attribute):
    with open(getattr(harness, attribute), "rb") as f:
        machine, magic, subsystem, dlls = pe_header(f.read())
    self.assertEqual((hex(machine), hex(magic)),
                     tuple(map(hex, PE_TYPES[harness.WINDOWS_PROCESSOR])), "machine, magic")
    self.assertEqual(subsystem, CONSOLE_SUBSYSTEM, "subsystem")
    self.assertEqual(sorted(d.lower() for d in dlls), sorted(SYSTEM_DLLS), "imported DLLs")


add_table(Executables, {
    "tessel": ("TESSEL",),
    "untessel": ("UNTESSEL",),
}, _executable_case)


class SameArchives(TesselCase):
    """Each row: the files to lay out (content None: a directory; in a path,
    a backslash separates directories on Windows and is part of the name on
    Linux, so each platform's item names its file), then the words."""

    def setUp(self):
        super().setUp()
        if harness.REFERENCE_TESSEL is None:
            self.skipTest("no Linux tessel to compare with (--reference-tessel)")

    def lay_out(self, top, files, windows):
        os.mkdir(top)
        for name, data in files.items():
            path = os.path.join(top, name.replace("\\", "/") if windows else name)
            if data is None:
                os.makedirs(path)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def run_on(self, platform, files, words):
        top = self.path(platform)
        windows = platform == "windows"
        self.lay_out(top, files, windows)
        command = None if windows else [harness.REFERENCE_TESSEL]
        result = run(words, top, command=command)
        archive = os.path.join(top, "out.arc")
        data = None
        if os.path.exists(archive):
            with open(archive, "rb") as f:
                data = f.read()
        return result, data


def _same_case(self, files, words):
    linux, linux_archive = self.run_on("linux", files, words)
    windows, windows_archive = self.run_on("windows", files, words)
    self.assertIsNotNone(linux_archive, "the Linux build wrote no archive")
    self.assertEqual(windows.status, linux.status)
    self.assertEqual(windows.stderr, linux.stderr.replace(b"\n", b"\r\n"))
    self.assertIsNotNone(windows_archive, "tessel.exe wrote no archive")
    self.assertEqual(windows_archive.hex(" "), linux_archive.hex(" "))


add_table(SameArchives, {
    "several_files_format_2": (SMALL_FILES, ["-v", "out.arc"] + SMALL_WORDS),
    "several_files_format_1": (SMALL_FILES, ["-1v", "out.arc"] + SMALL_WORDS),
    "list_file_with_crlf": (
        dict(SMALL_FILES, **{"list.lst": b"crlf.txt\r\n\r\nd\\e.txt\r\nctrl_z.bin\r\n"
                                         b"a.txt\x1aempty\r\n",
                             "d\\e.txt": b"e"}),
        ["-v", "-flist.lst", "out.arc", "empty"]),
    "several_chunks": ({"chunks.bin": SEVERAL_CHUNKS, "large.bin": LARGE},
                       ["-v", "out.arc", "chunks.bin", "large.bin", "chunks.bin"]),
    "several_chunks_format_1": ({"large.bin": LARGE}, ["-1", "out.arc", "large.bin"]),
    "names_with_backslashes": (
        {"d\\e.txt": b"e", "a/b\\c": b"bc", "x\\y\\z": b"z", "n\\" + "0123456789" * 4: b"long"},
        ["-v", "out.arc", "d\\e.txt", "a/b\\c", "x\\y\\z", "n\\" + "0123456789" * 4]),
    "unreadable_item_leaves_partial_archive": (
        {"a.txt": b"abc", "sub": None}, ["-v", "out.arc", "a.txt", "sub", "a.txt"]),
    "empty_list_file": ({"a.txt": b"abc", "empty.lst": b""},
                        ["-fempty.lst", "out.arc", "a.txt"]),
}, _same_case)


class SameReading(TesselCase):
    """Each row: an archive, the words (the archive is in.arc, or standard
    input for -), and whether it is piped to standard input.  The Linux
    untessel and untessel.exe read it in the same directory."""

    def setUp(self):
        super().setUp()
        if harness.REFERENCE_UNTESSEL is None:
            self.skipTest("no Linux untessel to compare with (--reference-untessel)")


def _same_reading_case(self, data, words, piped):
    if data is not None:
        self.write("in.arc", data)
    stdin = data if piped else None
    linux = run(words, self.dir, command=[harness.REFERENCE_UNTESSEL], allow_stdout=True,
                input=stdin)
    windows = run_untessel(words, self.dir, input=stdin)
    self.assertEqual(windows.status, linux.status)
    self.assertEqual(windows.stdout, linux.stdout.replace(b"\n", b"\r\n"))
    self.assertEqual(windows.stderr, linux.stderr.replace(b"\n", b"\r\n"))


# Line ends and 0x1A everywhere a text-mode stream would change them: in a
# name, in data, and in a size field (2573 is 0x0A0D, 26 is 0x1A).  Read in
# text mode, standard input would lose the CRs and stop at the first 0x1A.
TEXT_TRAPS = archive([
    entry(b"crlf\r\n\x1a.txt", (b"ab\r\n\x1a" * 515)[:2573]),
    entry(b"ctrl_z", b"\x1a" * 26),
    entry(b"\r\n", b"\r\n" * 5000),
])
# More than the read buffer holds in one entry, so -l skips data by seeking
# in a file and reads them through from a pipe.
LARGE_DATA = bytes((i * 13 + i // 509) & 0xFF for i in range(300000))
LARGE = archive([entry("large.bin", LARGE_DATA), entry("a.txt", b"abc")])
LARGE_CUT = LARGE[:200000]
SMALL = archive([entry("a.txt", b"abc"), entry("b.txt", b"hello\n")])
WRONG_CHECKSUM = SMALL[:40] + b"abd" + SMALL[43:]

add_table(SameReading, {
    "crlf_and_ctrl_z_from_pipe_tested": (TEXT_TRAPS, ["-tv", "-"], True),
    "crlf_and_ctrl_z_from_pipe_listed": (TEXT_TRAPS, ["-l", "-"], True),
    "crlf_and_ctrl_z_from_file_tested": (TEXT_TRAPS, ["-tv", "in.arc"], False),
    "format_1_tested": (archive([entry("a.txt", b"abc\r\n")], fmt=1), ["-tv", "in.arc"], False),
    "large_entry_listed_by_seeking": (LARGE, ["-l", "in.arc"], False),
    "large_entry_listed_from_pipe": (LARGE, ["-l", "-"], True),
    "large_entry_tested": (LARGE, ["-tv", "in.arc"], False),
    "large_entry_cut_listed": (LARGE_CUT, ["-l", "in.arc"], False),
    "large_entry_cut_tested_from_pipe": (LARGE_CUT, ["-tv", "-"], True),
    "wrong_checksum_tested": (WRONG_CHECKSUM, ["-tv", "in.arc"], False),
    "wrong_checksum_listed": (WRONG_CHECKSUM, ["-l", "in.arc"], False),
    "names_selected_one_missing": (SMALL, ["-tv", "in.arc", "b.txt", "c.txt"], False),
    "not_an_archive": (b"PK\x03\x04", ["-l", "in.arc"], False),
    "data_after_end_mark": (SMALL + b"\r\n", ["-t", "in.arc"], False),
    "missing_archive": (None, ["-l", "in.arc"], False),
    "usage_error": (None, ["-lt", "in.arc"], False),
}, _same_reading_case)
