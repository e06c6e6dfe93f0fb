"""The manual pages against the programs: the transcripts of tessel(1) and
untessel(1) are replayed, and archives that tessel writes are read back with
the layout tessel(1) gives."""

import os
import re
import stat
import subprocess
import unittest

import harness
from harness import TesselCase, add_table, skip_on_windows

DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "doc")
TESSEL_PAGE = os.path.join(DOC, "tessel.1")
UNTESSEL_PAGE = os.path.join(DOC, "untessel.1")

# The escapes the page may use inside examples and tables, and their text.
ESCAPES = {r"\-": "-", r"\(aq": "'", r"\(rs": "\\", r"\(dq": '"', r"\&": "", r"\e": "\\"}


def unescape(line):
    """The text of one line of an example block; any escape not in ESCAPES
    is an error, so that the test never compares half-rendered text."""
    def replace(m):
        if m.group(0) not in ESCAPES:
            raise ValueError("unexpected roff escape %s in: %s" % (m.group(0), line))
        return ESCAPES[m.group(0)]
    return re.sub(r"\\\(..|\\.", replace, line)


def read_page(page=TESSEL_PAGE):
    with open(page, encoding="utf-8") as f:
        return f.read().split("\n")


def section(lines, macro, title):
    """The lines of one .SH or .SS section, up to the next one of its kind
    (or any .SH)."""
    start = lines.index("%s %s" % (macro, title)) + 1
    end = start
    while end < len(lines) and not lines[end].startswith(".SH") and \
            not lines[end].startswith(macro + " "):
        end += 1
    return lines[start:end]


def example_blocks(lines):
    """Every .EX ... .EE block, unescaped."""
    blocks, current = [], None
    for line in lines:
        if line == ".EX":
            current = []
        elif line == ".EE":
            blocks.append(current)
            current = None
        elif current is not None:
            current.append(unescape(line))
    return blocks


def transcripts(page):
    """(commands, expected output of each) for each example block."""
    result = []
    for block in example_blocks(section(read_page(page), ".SH", "EXAMPLES")):
        steps = []
        for line in block:
            if line.startswith("$ "):
                steps.append((line[2:], []))
            else:
                steps[-1][1].append(line)
        result.append(steps)
    return result


MARK = "@@end of command@@"


@skip_on_windows("the transcripts are POSIX shell commands and their output")
class Transcripts(TesselCase):
    """Each example block of tessel(1), run command by command in an empty
    directory with `tessel` being the binary under test: every command's
    output (standard error included) must be what the page shows."""


@skip_on_windows("the transcripts are POSIX shell commands and their output")
class UntesselTranscripts(TesselCase):
    """The same for each example block of untessel(1), with `tessel` and
    `untessel` the binaries under test; standard output and standard error
    share one pipe, so their order is checked too."""

    def setUp(self):
        super().setUp()
        if harness.UNTESSEL is None:
            self.skipTest("no untessel to run (--untessel)")


def _transcript_case(self, steps):
    bindir = self.path("bin")
    os.mkdir(bindir)
    for name, binary in (("tessel", harness.TESSEL), ("untessel", harness.UNTESSEL)):
        if binary is None:
            continue
        wrapper = os.path.join(bindir, name)
        with open(wrapper, "w") as f:
            words = " ".join("'%s'" % w for w in harness.EMULATOR + [binary])
            f.write('#!/bin/sh\nexec %s "$@"\n' % words)
        os.chmod(wrapper, stat.S_IRWXU)
    work = self.path("work")
    os.mkdir(work)
    # Each command's status is carried over the marker, so that "echo $?"
    # sees the status of the command before it.
    script = "".join('{ %s; } 2>&1; s=$?; printf "%s"; (exit $s)\n' % (cmd, MARK)
                     for cmd, _ in steps)
    env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""), LC_ALL="C")
    proc = subprocess.run(["sh", "-c", script], cwd=work, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=harness.RUN_TIMEOUT)
    outputs = proc.stdout.decode("latin-1").split(MARK)
    self.assertEqual(len(outputs), len(steps) + 1, proc.stdout)
    for (cmd, expected), got in zip(steps, outputs):
        self.assertEqual(got, "".join(line + "\n" for line in expected), "$ " + cmd)


def _add_transcripts(cls, page):
    add_table(cls, {"example_%d" % (i + 1): (steps,)
                    for i, steps in enumerate(transcripts(page))}, _transcript_case)


_add_transcripts(Transcripts, TESSEL_PAGE)
_add_transcripts(UntesselTranscripts, UNTESSEL_PAGE)


def layout(title):
    """The rows of a layout table in the page, as (offset, size, text), with
    offsets and sizes that involve N kept as text."""
    block = example_blocks(section(read_page(), ".SS", title))[0]
    rows = []
    for line in block[1:]:
        m = re.match(r"(\S+)\s+(\S+)\s+(.*)", line)  # continuation lines start blank
        if m:
            rows.append(m.groups())
    return rows


def need(condition, what):
    if not condition:
        raise AssertionError(what)


def read_with_page_layout(data):
    """A reader that knows only what the page's Header and Entry tables say.
    Returns (version, [(name, data, stored checksum or None, computed
    checksum)], whether the archive ended with its last byte at END_MARK)."""
    header = layout("Header")
    signature = bytes(int(text, 16) for offset, size, text in header
                      if re.fullmatch(r"0x[0-9A-F]{2}", text))
    version_at = next(int(o) for o, s, text in header if text.startswith("format version"))
    need([int(o) for o, s, t in header] == list(range(len(header))), "one byte per header row")
    need(data[:len(signature)] == signature, "signature")
    version = data[version_at]

    entry = {text.split(",")[0].split(":")[0]: (offset, size) for offset, size, text in layout("Entry")}
    mark_at, mark_size = map(int, entry["ENTRY_MARK"])
    name_at, name_size = map(int, entry["name field"])
    size_at, size_size = map(int, entry["data size N"])
    data_at = int(entry["data"][0])
    sum_at, sum_size = entry["checksum"]
    # Each field starts where the one before it ends.
    need((mark_at, mark_at + mark_size, name_at + name_size, size_at + size_size) ==
         (0, name_at, size_at, data_at), "entry fields follow each other")
    need((entry["data"][1], sum_at) == ("N", "%d+N" % data_at), "checksum after the data")

    entries, pos = [], version_at + 1
    while pos < len(data):
        if data[pos] == 0xED:
            return version, entries, pos == len(data) - 1
        need(data[pos] == 0xD1, "ENTRY_MARK at %d" % pos)
        n = int.from_bytes(data[pos + size_at:pos + size_at + size_size], "little")
        end = pos + data_at + n
        stored = None
        if version == 2:
            stored = int.from_bytes(data[end:end + int(sum_size)], "little")
        entries.append((data[pos + name_at:pos + name_at + name_size].split(b"\0")[0],
                        data[pos + data_at:end], stored, sum(data[pos:end]) % 65536))
        pos = end + (int(sum_size) if version == 2 else 0)
    return version, entries, False


class FormatAsDocumented(TesselCase):
    """Archives that tessel writes, read back by a reader built from the
    page's tables alone."""

    FILES = [("d/a.txt", b"abc"), ("empty", b""), ("n" * 31, b"\xd1\xed" * 300),
             ("m" * 40, bytes(range(256)) * 40)]

    def check(self, fmt):
        for name, data in self.FILES:
            self.write(name, data)
        args = (["-1"] if fmt == 1 else []) + ["out.arc"] + [n for n, _ in self.FILES]
        r = self.tessel(*args)
        self.assertStderr(r, b"", 0)
        version, entries, complete = read_with_page_layout(self.read("out.arc"))
        self.assertEqual(version, fmt)
        self.assertTrue(complete, "END_MARK is the last byte")
        want = [(os.path.basename(n).encode()[:31], d) for n, d in self.FILES]
        self.assertEqual([(n, d) for n, d, _, _ in entries], want)
        for name, _, checksum, computed in entries:
            self.assertEqual(checksum, computed if fmt == 2 else None, name)

    def test_format_2(self):
        self.check(2)

    def test_format_1(self):
        self.check(1)


if __name__ == "__main__":
    unittest.main()
