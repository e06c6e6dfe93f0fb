"""Extraction: untessel -x gives the files of an archive back, byte for byte,
each directly inside the target directory, and never writes anywhere else,
through anything already there, or under an entry's name before the entry
is complete and sound; untessel -p writes the entries' data to standard
output.  Every -x case compares the whole scratch directory (the target,
the archive, the files around them) before and after the run: what exists,
of which kind, with which bytes and mode, and that no temporary file is
left."""

import hashlib
import os
import signal
import stat
import subprocess
import time
import unittest

import harness
from harness import TesselCase, add_table, archive, entry, escaped, skip_on_windows

MIB = 1 << 20
# Extracted files get 0666 less the umask, which every run here sets to this.
UMASK = 0o027
FILE_MODE = 0o666 & ~UMASK

USAGE = (b"usage: untessel -l [-v] ARCHIVE [NAME ...]\n"
         b"       untessel -t [-v] ARCHIVE [NAME ...]\n"
         b"       untessel -x [-ov] [-C DIR] ARCHIVE [NAME ...]\n"
         b"       untessel -p ARCHIVE [NAME ...]\n")
ENOENT = b"No such file or directory"
ENOTDIR = b"Not a directory"
EFBIG = b"File too large"

TAKEN = b"not extracted: the name is taken (-o replaces what is not a directory)"
IS_DIRECTORY = b"not extracted: a directory of that name exists"

# The reasons given for a refused name.
EMPTY = b"is empty"
DIRECTORY = b"names a directory"
SLASH = b"holds a slash"
WINDOWS_CHARACTER = b"holds a character that Windows does not allow in a file name"
TRAILING = b"ends in a dot or a space"
DEVICE = b"is a Windows device name"

# How the temporary files are made: the system's way (an unnamed file on
# Linux, linked through its descriptor), under a visible name as on a file
# system without unnamed files, or unnamed but linked through /proc as on
# older kernels (the last two forced with a preloaded library).
UNNAMED = None
NAMED = "no-tmpfile"
PROC_LINK = "no-empty-path"


def pattern(size, shift=0):
    """Data whose period (251) divides no buffer size, so that a piece
    written twice or skipped changes them."""
    return (bytes((i + shift) % 251 for i in range(251)) * (size // 251 + 1))[:size]



def as_bytes(text):
    return text if isinstance(text, bytes) else text.encode()


def stored_name(path):
    """The name tessel stores for an item given as src/PATH: what follows
    the last slash, cut to 31 bytes."""
    return as_bytes(path).rsplit(b"/", 1)[-1][:31]


def entry_offsets(entries):
    """The offset of each encoded entry in the archive made of them."""
    offsets, at = [], 4
    for e in entries:
        offsets.append(at)
        at += len(e)
    return offsets


def regular(data, mode=None):
    """How a snapshot shows a regular file; `mode` None: what untessel gives."""
    if harness.WINDOWS:
        mode = None
    elif mode is None:
        mode = FILE_MODE
    return ("file", len(data), hashlib.sha256(data).hexdigest(), mode)


def snapshot(top):
    """Everything below `top`, by relative path (bytes): its kind, and for a
    regular file its size, digest and mode, for a link its target.
    Symbolic links are never followed."""
    top = as_bytes(top)
    tree = {}
    for here, dirs, files in os.walk(top):
        for name in dirs + files:
            path = os.path.join(here, name)
            rel = os.path.relpath(path, top)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                tree[rel] = ("link", os.readlink(path))
            elif stat.S_ISDIR(st.st_mode):
                tree[rel] = ("dir",)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    data = f.read()
                tree[rel] = regular(data, stat.S_IMODE(st.st_mode))
            elif stat.S_ISFIFO(st.st_mode):
                tree[rel] = ("fifo",)
            else:
                tree[rel] = ("other", st.st_mode)
    return tree


def in_target(name):
    return b"target/" + as_bytes(name)


def text(lines):
    """Lines as untessel writes them to a text stream on this platform."""
    return lines.replace(b"\n", b"\r\n") if harness.WINDOWS else lines


class ExtractCase(TesselCase):
    """A scratch directory with an empty target directory in it."""

    def setUp(self):
        super().setUp()
        self.target = self.path("target")
        os.mkdir(self.target)

    def command(self):
        words = harness.EMULATOR + [harness.UNTESSEL]
        if harness.WINDOWS:
            return words
        return ["sh", "-c", 'umask %03o && exec "$@"' % UMASK, "sh"] + words

    def environment(self, temporaries):
        if temporaries == UNNAMED:
            return None
        if harness.TEMPORARY_SHIM is None:
            self.skipTest("needs the preloaded library that stands for other systems (Linux)")
        return dict(os.environ, LD_PRELOAD=harness.TEMPORARY_SHIM, TEMPORARY_SHIM=temporaries)

    def extract(self, *words, cwd=None, temporaries=UNNAMED, **kw):
        """Runs untessel with the umask set, keeping its standard output."""
        return harness.run(list(words), cwd or self.dir, command=self.command(),
                           allow_stdout=True, env=self.environment(temporaries), **kw)

    def write_archive(self, entries, fmt=2, name="in.arc"):
        data = archive(entries, fmt)
        self.write(name, data)
        return data

    def assertResult(self, result, stderr, status, stdout=b""):
        """Exact messages and exit status, and the standard output
        (lines of -v, as bytes; set `stdout` None when it holds data)."""
        self.assertEqual(result.stderr, text(stderr))
        self.assertEqual(result.status, status)
        if stdout is not None:
            self.assertEqual(result.stdout, text(stdout))

    def assertTree(self, before, changes):
        """The scratch directory is `before` with `changes` (relative path
        -> what is there now, or None for nothing) and nothing else."""
        want = dict(before)
        for rel, value in changes.items():
            rel = as_bytes(rel)
            if value is None:
                want.pop(rel, None)
            else:
                want[rel] = value
        got = snapshot(self.dir)
        left = [p for p in got if os.path.basename(p).startswith(b".untessel-")]
        self.assertEqual(left, [], "temporary files left behind")
        self.assertEqual(got, want)

    def assertExtractedThenClear(self, before, files):
        """For a sweep: the scratch directory is `before` with `files`
        ((name, data) pairs) extracted, which are then removed for the
        next run."""
        self.assertTree(before, extracted(files))
        for name, _ in files:
            os.unlink(os.path.join(as_bytes(self.target), name))


def extracted(files):
    """The changes when `files` ((name, data) pairs) appear in the target."""
    return {in_target(name): regular(data) for name, data in files}


def entry_message(offset, number, name, what):
    return b"untessel: in.arc: offset %d: entry %d (%s): %s\n" % (
        offset, number, escaped(as_bytes(name)), what)


# ------------------------------------------------------------ round trip

class ExtractRoundTrip(ExtractCase):
    """Each row: files (path below src/ -> data) archived by tessel, then
    extracted with -xv into the empty target: exactly those files under
    their stored names, -v naming each in archive order, status 0."""


def _round_trip(self, files, fmt, posix_only):
    if posix_only and harness.WINDOWS:
        self.skipTest("names that Windows does not allow, or where its tessel "
                      "takes a backslash for a directory separator")
    paths = []
    for path, data in files.items():
        path = b"src/" + as_bytes(path)
        os.makedirs(os.path.join(as_bytes(self.dir), os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(as_bytes(self.dir), path), "wb") as f:
            f.write(data)
        paths.append(path)
    made = self.tessel(*(["-1"] if fmt == 1 else []), "in.arc", *paths)
    self.assertEqual(made.status, 0, made.stderr)
    before = snapshot(self.dir)
    r = self.extract("-xv", "-C", "target", "in.arc")
    names = [stored_name(p) for p in files]
    self.assertResult(r, b"", 0, b"".join(escaped(n) + b"\n" for n in names))
    self.assertTree(before, extracted(zip(names, files.values())))


# Names of every byte value a file name can hold on POSIX but the slash,
# 31 at a time; without ? and *, which tessel takes for wildcards and
# refuses (the hostile names below have them).
NAME_BYTES = bytes(b for b in range(1, 256) if b not in b"/?*")
EVERY_NAME_BYTE = {NAME_BYTES[i:i + 31]: bytes([i]) for i in range(0, len(NAME_BYTES), 31)}

ROUND_TRIPS = {
    "text_and_binary": ({"a.txt": b"abc\n", "crlf.txt": b"one\r\ntwo\r\n\x1a end",
                         "all_bytes.bin": bytes(range(256)) * 4, "empty": b""}, False),
    "data_around_a_copy_block": ({"s1": b"x", "s8191": pattern(8191), "s8192": pattern(8192, 1),
                                  "s8193": pattern(8193, 2)}, False),
    "several_mib": ({"big.bin": pattern(3 * MIB + 5), "after.txt": b"after"}, False),
    "base_names_and_names_cut_to_31_bytes": (
        {"sub/deeper/base.txt": b"base", "n" * 31: b"31", "0123456789" * 4: b"40, cut",
         "sub/" + "L" * 35 + ".txt": b"long, in a directory"}, False),
    # tessel stores a/b\c as b\c: on POSIX the backslash is a byte of the name.
    "backslash_is_a_name_byte": ({"a/b\\c": b"bc", "x\\y\\": b"two", "\\": b"alone"}, True),
    "every_name_byte": (EVERY_NAME_BYTE, True),
}
add_table(ExtractRoundTrip, {
    "%s_format_%d" % (case, fmt): (files, fmt, posix_only)
    for case, (files, posix_only) in ROUND_TRIPS.items() for fmt in (2, 1)
}, _round_trip)


# ------------------------------------------------------------ operands

THREE = [(b"a", b"first\n"), (b"b", b""), (b"c", pattern(20000))]


class ExtractOperands(ExtractCase):
    """Each row: words, the directory to run in (None: the scratch one),
    whether the archive comes on standard input, the entries expected in
    the target, the standard output, messages and status."""


def _operands(self, words, cwd, piped, names, stdout, stderr, status):
    data = self.write_archive([entry(n, d) for n, d in THREE])
    before = snapshot(self.dir)
    r = self.extract(*words, cwd=self.path(cwd) if cwd else None,
                     input=data if piped else None)
    self.assertResult(r, stderr, status, stdout)
    self.assertTree(before, extracted((n, d) for n, d in THREE if n in names))


add_table(ExtractOperands, {
    "into_directory": (["-x", "-C", "target", "in.arc"], None, False, b"abc", b"", b"", 0),
    "directory_in_the_same_word": (["-xvCtarget", "in.arc"], None, False, b"abc",
                                   b"a\nb\nc\n", b"", 0),
    "into_current_directory": (["-xv", "../in.arc"], "target", False, b"abc",
                               b"a\nb\nc\n", b"", 0),
    "names_selected_in_archive_order": (["-xv", "-C", "target", "in.arc", "c", "a"], None, False,
                                        b"ac", b"a\nc\n", b"", 0),
    "name_not_in_archive": (["-x", "-Ctarget", "in.arc", "b", "zz"], None, False, b"b", b"",
                            b"untessel: in.arc: zz: not found in the archive\n", 1),
    "standard_input": (["-xv", "-C", "target", "-"], None, True, b"abc", b"a\nb\nc\n", b"", 0),
    "standard_input_after_double_dash": (["-xo", "-C", "target", "--", "-", "b"], None, True,
                                         b"b", b"", b"", 0),
}, _operands)


class ExtractUsage(ExtractCase):
    """Each row: words, the messages (the usage text follows a usage
    error), status 1; nothing is created anywhere."""


def _usage_error(self, words, stderr):
    self.write_archive([entry(n, d) for n, d in THREE])
    self.write("plain.txt", b"a file")
    before = snapshot(self.dir)
    r = self.extract(*words)
    self.assertResult(r, stderr, 1)
    self.assertTree(before, {})


ONLY_WITH_X = b"untessel: -o and -C go with -x only\n" + USAGE
add_table(ExtractUsage, {
    "o_with_l": (["-lo", "in.arc"], ONLY_WITH_X),
    "o_with_p": (["-p", "-o", "in.arc"], ONLY_WITH_X),
    "C_with_t": (["-t", "-C", "target", "in.arc"], ONLY_WITH_X),
    "C_without_directory": (["-x", "-C"], b"untessel: option -C needs a directory\n" + USAGE),
    "p_with_v": (["-pv", "in.arc"],
                 b"untessel: -v does not go with -p: standard output carries the data\n" + USAGE),
    "x_and_p": (["-xp", "in.arc"],
                b"untessel: only one of -l, -t, -x and -p may be given\n" + USAGE),
    "p_and_x": (["-p", "-x", "in.arc"],
                b"untessel: only one of -l, -t, -x and -p may be given\n" + USAGE),
    "x_without_archive": (["-x", "-C", "target"], b"untessel: no archive named\n" + USAGE),
    "C_missing_directory": (["-x", "-C", "missing", "in.arc"],
                            b"untessel: missing: " + ENOENT + b"\n"),
    "C_naming_a_file": (["-xCplain.txt", "in.arc"], b"untessel: plain.txt: " + ENOTDIR + b"\n"),
    "archive_missing": (["-x", "-C", "target", "none.arc"],
                        b"untessel: none.arc: " + ENOENT + b"\n"),
}, _usage_error)


# ------------------------------------------------------------ -p

class PrintData(ExtractCase):
    """Each row: the entries (name, data), the format, the words after -p
    (the archive is in.arc, or standard input for "-"), a change to the
    archive (offset, byte) or a length to cut it to, the expected standard
    output, messages and status.  Nothing is created."""


def _print(self, entries, fmt, words, change, stdout, stderr, status):
    data = bytearray(archive([entry(n, d, fmt) for n, d in entries], fmt))
    if isinstance(change, tuple):
        data[change[0]] ^= change[1]
    elif change is not None:
        del data[change:]
    self.write("in.arc", bytes(data))
    before = snapshot(self.dir)
    r = self.extract("-p", *words, input=bytes(data) if "-" in words else None)
    self.assertResult(r, stderr, status, None)
    self.assertEqual(r.stdout, stdout)
    self.assertTree(before, {})


# Line ends and 0x1a: -p writes bytes, not text, on every system.
P_ENTRIES = [(b"one", b"1\r\n\x1a\n"), (b"two", pattern(70000)), (b"one", b"again\n"),
             (b"three", b"")]
P_ALL = b"".join(d for _, d in P_ENTRIES)
P_TWO_AT = 4 + len(entry("one", P_ENTRIES[0][1]))
P_TWO_END = P_TWO_AT + len(entry("two", P_ENTRIES[1][1]))
P_TWO_SUM = sum(entry("two", P_ENTRIES[1][1], 1)) % 65536
add_table(PrintData, {
    "all": (P_ENTRIES, 2, ["in.arc"], None, P_ALL, b"", 0),
    "format_1": (P_ENTRIES, 1, ["in.arc"], None, P_ALL, b"", 0),
    "standard_input": (P_ENTRIES, 2, ["--", "-"], None, P_ALL, b"", 0),
    "selected_in_archive_order": (P_ENTRIES, 2, ["in.arc", "two", "one"], None,
                                  P_ENTRIES[0][1] + P_ENTRIES[1][1] + P_ENTRIES[2][1], b"", 0),
    "name_not_in_archive": (P_ENTRIES, 2, ["in.arc", "three", "four"], None, b"",
                            b"untessel: in.arc: four: not found in the archive\n", 1),
    # The data are out before the checksum can be compared.
    "wrong_checksum": (P_ENTRIES, 2, ["in.arc"], (P_TWO_END - 2, 0x01), P_ALL,
                       entry_message(P_TWO_AT, 2, "two",
                                     b"checksum mismatch (stored 0x%04x, computed 0x%04x)"
                                     % (P_TWO_SUM ^ 1, P_TWO_SUM)), 1),
    "truncated_in_data": (P_ENTRIES, 2, ["in.arc"], P_TWO_AT + 36 + 1000,
                          P_ENTRIES[0][1] + P_ENTRIES[1][1][:1000],
                          entry_message(P_TWO_AT, 2, "two",
                                        b"truncated: the archive ends at offset %d"
                                        % (P_TWO_AT + 36 + 1000)), 1),
}, _print)


# ------------------------------------------------------------ hostile names

class HostileNames(ExtractCase):
    """Each row: a stored name between two plain entries, and why it is
    refused on POSIX and on Windows (None: extracted under that name).
    A refused entry is reported and skipped, the others extracted, and
    nothing appears anywhere else: not above the target, not below it."""


def _hostile_name(self, name, posix_reason, windows_reason, overwrite, posix_only):
    if posix_only and harness.WINDOWS:
        self.skipTest("bytes above 0x7f become other characters in a Windows file name")
    if name is None:
        # An absolute path beside the scratch directory, unique to the case.
        name = as_bytes(self.dir) + b"-abs"
        if len(name) > 31:
            self.skipTest("the temporary directory's path is too long for a name field")
    reason = windows_reason if harness.WINDOWS else posix_reason
    entries = [entry("before", b"before"), entry(name, b"hostile"), entry("after", b"after")]
    self.write_archive(entries)
    before = snapshot(self.dir)
    r = self.extract("-xv" + ("o" if overwrite else ""), "-C", "target", "in.arc")
    files = [(b"before", b"before"), (name, b"hostile"), (b"after", b"after")]
    if reason is None:
        self.assertResult(r, b"", 0, b"before\n%s\nafter\n" % escaped(name))
    else:
        del files[1]
        self.assertResult(r, entry_message(entry_offsets(entries)[1], 2, name,
                                           b"not extracted: the name " + reason), 1,
                          b"before\nafter\n")
    self.assertTree(before, extracted(files))
    if name.startswith(b"/"):
        self.assertFalse(os.path.lexists(name))


HOSTILE_NAMES = {
    "empty": (b"", EMPTY, EMPTY, False),
    "dot": (b".", DIRECTORY, DIRECTORY, False),
    "dot_dot": (b"..", DIRECTORY, DIRECTORY, False),
    "parent_path": (b"../x", SLASH, SLASH, False),
    "absolute_path": (None, SLASH, SLASH, False),
    "subdirectory_path": (b"a/b", SLASH, SLASH, False),
    "escape_sequence_and_slash": (b"\x1b[2J/x", SLASH, SLASH, False),
    "trailing_slash": (b"dir/", SLASH, SLASH, False),
    # Harmless on POSIX, but never printed raw.
    "newline": (b"two\nlines: ok", None, WINDOWS_CHARACTER, False),
    "escape_sequence": (b"\x1b]0;title\x07\x1b[2J", None, WINDOWS_CHARACTER, False),
    "high_bytes": (b"caf\xc3\xa9 \xff\x80", None, None, True),
    # Windows' own rules.
    "drive": (b"C:x.txt", None, WINDOWS_CHARACTER, False),
    "device": (b"CON", None, DEVICE, False),
    "device_with_extension": (b"nul.txt", None, DEVICE, False),
    "device_in_any_case_with_spaces": (b"Com9 .tar.gz", None, DEVICE, False),
    "device_lpt": (b"lpt1", None, DEVICE, False),
    "backslash": (b"a\\b", None, WINDOWS_CHARACTER, False),
    "trailing_dot": (b"name.", None, TRAILING, False),
    "trailing_space": (b"name ", None, TRAILING, False),
    "reserved_characters": (b'a<b>c"d|e?f*', None, WINDOWS_CHARACTER, False),
    "control_byte": (b"bell\x07", None, WINDOWS_CHARACTER, False),
    "tab": (b"a\tb", None, WINDOWS_CHARACTER, False),
    # Near misses: these are ordinary names everywhere.
    "not_a_device": (b"LPT10.txt", None, None, False),
    "device_name_inside": (b"console.con", None, None, False),
    "dots_inside": (b"..a.b", None, None, False),
}
add_table(HostileNames, {
    case + suffix: (name, posix, windows, overwrite, posix_only)
    for case, (name, posix, windows, posix_only) in HOSTILE_NAMES.items()
    for suffix, overwrite in (("", False), ("_overwrite", True))
}, _hostile_name)


# ------------------------------------------------------------ what is there

OUTSIDE = b"outside, must stay\n"
NEW = b"new data\n"


class AtTheName(ExtractCase):
    """Each row: what is at the entry's name before the run.  Without -o
    it is left exactly as it was and reported; with -o it is replaced by
    the file, a symbolic link itself and never what it points to, but a
    directory never.  The next entry is extracted either way."""

    def lay_out(self, kind):
        self.write("outside.txt", OUTSIDE)
        os.mkdir(self.path("outdir"))
        self.write("outdir/inner", b"inner")
        x = os.path.join(self.target, "x")
        if kind == "file":
            self.write("target/x", b"old")
        elif kind == "directory":
            os.mkdir(x)
            self.write("target/x/inner", b"inner")
        elif kind == "empty_directory":
            os.mkdir(x)
        elif kind == "symlink":
            os.symlink(self.path("outside.txt"), x)
        elif kind == "relative_symlink":
            os.symlink("../outside.txt", x)
        elif kind == "symlink_to_directory":
            os.symlink(self.path("outdir"), x)
        elif kind == "dangling_symlink":
            os.symlink(self.path("nowhere"), x)
        elif kind == "fifo":
            os.mkfifo(x)


def _at_the_name(self, kind, overwrite, temporaries):
    if harness.WINDOWS and kind not in ("file", "directory", "empty_directory"):
        self.skipTest("symbolic links and FIFOs made here are not Windows objects")
    self.lay_out(kind)
    entries = [entry("x", NEW), entry("after", b"after")]
    self.write_archive(entries)
    before = snapshot(self.dir)
    r = self.extract("-x" + ("o" if overwrite else ""), "-C", "target", "in.arc",
                     temporaries=temporaries)
    changes = extracted([(b"after", b"after")])
    if not overwrite:
        self.assertResult(r, entry_message(4, 1, "x", TAKEN), 1)
    elif kind.endswith("directory") and kind != "symlink_to_directory":
        self.assertResult(r, entry_message(4, 1, "x", IS_DIRECTORY), 1)
    else:
        self.assertResult(r, b"", 0)
        changes.update(extracted([(b"x", NEW)]))
    self.assertTree(before, changes)


KINDS = ["file", "directory", "empty_directory", "symlink", "relative_symlink",
         "symlink_to_directory", "dangling_symlink", "fifo"]
add_table(AtTheName, {
    kind + o_suffix + t_suffix: (kind, overwrite, temporaries)
    for kind in KINDS
    for o_suffix, overwrite in (("", False), ("_overwrite", True))
    for t_suffix, temporaries in (("", UNNAMED), ("_named_temporary", NAMED))
}, _at_the_name)


class DuplicateNames(ExtractCase):
    """The same name three times in one archive: without -o the first one
    and a report for each other; with -o the last one."""


def _duplicates(self, overwrite, temporaries):
    entries = [entry("d", b"one"), entry("d", b"two"), entry("e", b"e"), entry("d", b"three")]
    at = entry_offsets(entries)
    self.write_archive(entries)
    before = snapshot(self.dir)
    r = self.extract("-xv" + ("o" if overwrite else ""), "-C", "target", "in.arc",
                     temporaries=temporaries)
    if overwrite:
        self.assertResult(r, b"", 0, b"d\nd\ne\nd\n")
        self.assertTree(before, extracted([(b"d", b"three"), (b"e", b"e")]))
    else:
        self.assertResult(r, entry_message(at[1], 2, "d", TAKEN) +
                          entry_message(at[3], 4, "d", TAKEN), 1, b"d\ne\n")
        self.assertTree(before, extracted([(b"d", b"one"), (b"e", b"e")]))


add_table(DuplicateNames, {
    "first_stays": (False, UNNAMED),
    "last_replaces_with_o": (True, UNNAMED),
    "first_stays_named_temporary": (False, NAMED),
    "last_replaces_with_o_named_temporary": (True, NAMED),
    "first_stays_linked_through_proc": (False, PROC_LINK),
    "last_replaces_with_o_linked_through_proc": (True, PROC_LINK),
}, _duplicates)


# ------------------------------------------------------------ damage

DAMAGE_FILES = [(b"a", b"alpha"), (b"empty", b""), (b"c", pattern(40))]


def entry_ends(files, fmt):
    """Where each entry of `files` ends in its archive."""
    ends, at = [], 4
    for name, data in files:
        at += len(entry(name, data, fmt))
        ends.append(at)
    return ends


class ExtractDamage(ExtractCase):
    """A damaged archive: only the complete, sound entries become files,
    nothing else appears, and the status is 1."""

    def cuts(self, data, fmt):
        """Every offset; under an emulator (slow) those around each field."""
        if not harness.EMULATOR:
            return range(len(data))
        points = {0, 1, 3, 4, len(data) - 1}
        at = 4
        for name, content in DAMAGE_FILES:
            size = len(entry(name, content, fmt))
            points.update({at + 1, at + 32, at + 36, at + 36 + len(content) // 2,
                           at + size - 1, at + size})
            at += size
        return sorted(p for p in points if p < len(data))

    def truncation_sweep(self, fmt):
        data = archive([entry(n, d, fmt) for n, d in DAMAGE_FILES], fmt)
        ends = entry_ends(DAMAGE_FILES, fmt)
        for cut in self.cuts(data, fmt):
            with self.subTest(cut=cut):
                self.write("in.arc", data[:cut])
                before = snapshot(self.dir)
                r = self.extract("-x", "-C", "target", "in.arc")
                self.assertEqual(r.status, 1)
                self.assertIn(b"truncated", r.stderr)
                self.assertEqual(r.stderr.count(b"\n"), 1, r.stderr)
                self.assertExtractedThenClear(
                    before, [f for f, end in zip(DAMAGE_FILES, ends) if end <= cut])

    def test_truncated_at_every_offset_format_2(self):
        self.truncation_sweep(2)

    def test_truncated_at_every_offset_format_1(self):
        self.truncation_sweep(1)

    def wrong_checksums(self, temporaries):
        """For each entry: its checksum changed, then a data byte changed."""
        entries = [entry(n, d) for n, d in DAMAGE_FILES]
        at = entry_offsets(entries)
        for i, (name, content) in enumerate(DAMAGE_FILES):
            places = [at[i] + len(entries[i]) - 2]
            if content:
                places.append(at[i] + 36 + len(content) - 1)
            for place in places:
                with self.subTest(entry=i + 1, offset=place):
                    data = bytearray(archive(entries))
                    data[place] ^= 0x40
                    self.write("in.arc", bytes(data))
                    before = snapshot(self.dir)
                    r = self.extract("-xv", "-C", "target", "in.arc", temporaries=temporaries)
                    good = sum(entries[i][:-2]) % 65536
                    stored = int.from_bytes(data[at[i] + len(entries[i]) - 2:
                                                 at[i] + len(entries[i])], "little")
                    computed = (sum(data[at[i]:at[i] + len(entries[i]) - 2])) % 65536
                    self.assertNotEqual(stored, computed)
                    self.assertIn(good, (stored, computed))
                    others = [f for j, f in enumerate(DAMAGE_FILES) if j != i]
                    self.assertResult(r, entry_message(
                        at[i], i + 1, name, b"checksum mismatch (stored 0x%04x, computed 0x%04x)"
                        % (stored, computed)), 1, b"".join(n + b"\n" for n, _ in others))
                    self.assertExtractedThenClear(before, others)

    def test_wrong_checksum_in_each_entry(self):
        self.wrong_checksums(UNNAMED)

    def test_wrong_checksum_in_each_entry_named_temporary(self):
        self.wrong_checksums(NAMED)


# ------------------------------------------------------------ full disk

# In archive order: a failed write ends the run, so what follows is absent.
FULL_DISK_FILES = [(b"empty", b""), (b"a", b"12345"), (b"b", pattern(40)),
                   (b"c", pattern(300000, 7))]


@skip_on_windows("a file size limit is a POSIX feature")
class ExtractFullDisk(ExtractCase):
    """RLIMIT_FSIZE (SIGXFSZ ignored) at every size up to the small files'
    and around the large one's pieces (it is written in several): each
    file is there with all its bytes or not at all, nothing temporary is
    left, and a failed write ends the run with the system error line and
    status 1."""

    def limits(self):
        largest = len(FULL_DISK_FILES[-1][1])
        if harness.EMULATOR:
            return [0, 1, 4, 5, 6, 39, 40, 41, 65536, largest - 1, largest]
        return sorted(set(range(0, 42)) | set(range(42, largest, 9973)) |
                      {k * 65536 + d for k in (1, 2, 3, 4) for d in (-1, 0, 1)} |
                      {largest - 1, largest, largest + 1})

    def sweep(self, temporaries):
        self.write_archive([entry(n, d) for n, d in FULL_DISK_FILES])
        for limit in self.limits():
            with self.subTest(limit=limit):
                before = snapshot(self.dir)
                r = self.extract("-x", "-C", "target", "in.arc", fsize_limit=limit,
                                 temporaries=temporaries)
                fits = []
                for name, data in FULL_DISK_FILES:
                    if len(data) > limit:
                        self.assertResult(r, b"untessel: target/%s: %s\n" % (name, EFBIG), 1)
                        break
                    fits.append((name, data))
                else:
                    self.assertResult(r, b"", 0)
                self.assertExtractedThenClear(before, fits)

    def test_signal_left_at_default(self):
        # SIGXFSZ at its default ends a process that writes past the limit:
        # untessel must ignore it itself to clean up and report.
        if harness.EMULATOR:
            self.skipTest("the signal would end an emulator that writes files of its own")
        self.write_archive([entry(n, d) for n, d in FULL_DISK_FILES])
        before = snapshot(self.dir)
        r = self.extract("-x", "-C", "target", "in.arc", fsize_limit=10, ignore_sigxfsz=False)
        self.assertResult(r, b"untessel: target/b: %s\n" % EFBIG, 1)
        self.assertTree(before, extracted(FULL_DISK_FILES[:2]))

    def test_every_limit(self):
        self.sweep(UNNAMED)

    def test_every_limit_named_temporary(self):
        self.sweep(NAMED)


# ------------------------------------------------------------ run in progress

def reset_signals():
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


@skip_on_windows("POSIX signals and /proc")
class DuringExtraction(ExtractCase):
    """untessel reading an archive from a pipe that the test feeds piece by
    piece, so that something can happen between two pieces."""

    def start(self, temporaries):
        env = self.environment(temporaries)
        env = dict(os.environ if env is None else env)
        if harness.SANITIZED:
            for name, options in harness.SANITIZER_OPTIONS.items():
                env[name] = options + (":verify_asan_link_order=0" if name.startswith("ASAN")
                                       else "")
        proc = subprocess.Popen(self.command() + ["-x", "-C", "target", "-"], cwd=self.dir,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env, preexec_fn=reset_signals)
        self.addCleanup(self.stop, proc)
        return proc

    def stop(self, proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            try:
                pipe.close()
            except BrokenPipeError:
                pass

    def finish(self, proc):
        """Closes untessel's input, which may have ended, and waits for it:
        the status, standard output and messages."""
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        out = proc.stdout.read()
        err = proc.stderr.read()
        proc.wait(timeout=harness.RUN_TIMEOUT)
        self.assertIsNone(harness.REPORT_TEXT.search(err), err)
        self.assertNotIn(proc.returncode, harness.REPORT_STATUSES, err)
        return proc.returncode, out, err

    def feed(self, proc, data):
        proc.stdin.write(data)
        proc.stdin.flush()

    def wait_for(self, proc, condition, what):
        deadline = time.monotonic() + harness.RUN_TIMEOUT
        while not condition():
            self.assertIsNone(proc.poll(), "untessel ended before " + what)
            self.assertLess(time.monotonic(), deadline, "timed out waiting for " + what)
            time.sleep(0.01)

    def open_in_target(self, proc):
        """The files untessel has open inside the target directory."""
        found = []
        fd_dir = "/proc/%d/fd" % proc.pid
        try:
            for fd in os.listdir(fd_dir):
                try:
                    where = os.readlink(os.path.join(fd_dir, fd))
                except OSError:
                    continue
                if where.startswith(os.path.realpath(self.target) + "/"):
                    found.append(where)
        except OSError:
            pass
        return found


def _interrupted(self, sig, temporaries):
    large = pattern(8 * MIB, 3)
    entries = [entry("first", b"first"), entry("large", large), entry("last", b"last")]
    data = archive(entries)
    before = snapshot(self.dir)
    proc = self.start(temporaries)
    self.feed(proc, data[:entry_offsets(entries)[1] + 36 + MIB])
    self.wait_for(proc, lambda: self.open_in_target(proc), "the large entry's temporary file")
    visible = [n for n in os.listdir(self.target) if n.startswith(".untessel-")]
    # The fallback shows its temporary file; an unnamed one never has a name.
    self.assertEqual(len(visible), 1 if temporaries == NAMED else 0, visible)
    proc.send_signal(sig)
    status, out, err = self.finish(proc)
    self.assertEqual((status, out, err), (-sig, b"", b""))
    self.assertTree(before, extracted([(b"first", b"first")]))


add_table(DuringExtraction, {
    name + suffix: (sig, temporaries)
    for name, sig in (("sigterm", signal.SIGTERM), ("sigint", signal.SIGINT),
                      ("sighup", signal.SIGHUP))
    for suffix, temporaries in (("_during_large_entry", UNNAMED),
                                ("_during_large_entry_named_temporary", NAMED))
}, _interrupted)


def _directory_renamed(self, temporaries):
    # The reader fills its buffer before it goes on: the first file is
    # named once enough of the large one has come.
    files = [(b"a", b"alpha"), (b"b", pattern(2 * MIB, 5)), (b"c", b"last")]
    entries = [entry(n, d) for n, d in files]
    data = archive(entries)
    proc = self.start(temporaries)
    middle = entry_offsets(entries)[1] + 36 + MIB
    self.feed(proc, data[:middle])
    self.wait_for(proc, lambda: os.path.exists(os.path.join(self.target, "a")), "the first file")
    os.rename(self.target, self.path("moved"))
    os.mkdir(self.target)
    before = snapshot(self.dir)
    # The large file's temporary one went along, when it has a name.
    visible = [p for p in before if os.path.basename(p).startswith(b".untessel-")]
    self.assertEqual([os.path.dirname(p) for p in visible],
                     [b"moved"] if temporaries == NAMED else [])
    for p in visible:
        del before[p]
    self.feed(proc, data[middle:])
    status, out, err = self.finish(proc)
    self.assertEqual((status, out, err), (0, b"", b""))
    self.assertTree(before, {b"moved/" + n: regular(d) for n, d in files[1:]})


add_table(DuringExtraction, {
    "directory_renamed_files_follow_it": (UNNAMED,),
    "directory_renamed_files_follow_it_named_temporary": (NAMED,),
}, _directory_renamed)


if __name__ == "__main__":
    unittest.main()
