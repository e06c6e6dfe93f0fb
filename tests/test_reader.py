"""untessel: listing and testing archives that tessel wrote, the command
line, damaged archives, and memory and seeking on large archives."""

import os
import re
import subprocess
import threading
import time

import harness
from harness import (ERROR_TEXT, TesselCase, add_table, archive, entry, escaped, name_field,
                     skip_on_windows)

USAGE = (b"usage: untessel -l [-v] ARCHIVE [NAME ...]\n"
         b"       untessel -t [-v] ARCHIVE [NAME ...]\n"
         b"       untessel -x [-ov] [-C DIR] ARCHIVE [NAME ...]\n"
         b"       untessel -p ARCHIVE [NAME ...]\n")
FORMAT_1_OK = b": ok (format 1 has no checksums: structure only)\n"



def listing(entries):
    """-l's lines for (stored name, size) pairs."""
    return b"".join(b"%10d  %s\n" % (size, escaped(name)) for name, size in entries)


def verdicts(entries, fmt):
    """-t -v's lines for sound entries."""
    ok = b": ok\n" if fmt == 2 else FORMAT_1_OK
    return b"".join(escaped(name) + ok for name, _ in entries)


def messages(label, texts):
    return b"".join(b"untessel: %s: %s\n" % (label, t) for t in texts)


def sample(cases):
    """Every case natively; under an emulator (valgrind, Wine), where each
    run costs a good part of a second, a spread of them."""
    cases = list(cases)
    if not harness.EMULATOR:
        return cases
    return cases[::9] + cases[-1:]


def formats():
    """Both formats natively; under an emulator format 2 alone, for time."""
    return (2,) if harness.EMULATOR else (2, 1)


class ReaderCase(TesselCase):
    def untessel(self, *args, **kw):
        """Runs untessel, which must leave the scratch directory as it was."""
        before = self.snapshot()
        result = super().untessel(*args, **kw)
        self.assertEqual(self.snapshot(), before, "untessel changed the directory")
        return result

    def snapshot(self):
        """Every file under the scratch directory: size, time of change, and
        the bytes of those up to 1 MiB (the sparse archives are larger)."""
        files = {}
        for top, _, names in os.walk(os.fsencode(self.dir)):
            for name in names:
                path = os.path.join(top, name)
                st = os.stat(path)
                with open(path, "rb") as f:
                    data = f.read() if st.st_size <= 1 << 20 else None
                files[path] = (st.st_size, st.st_mtime_ns, data)
        return files

    def assertRun(self, result, stdout, stderr, status):
        if harness.WINDOWS:
            stdout = stdout.replace(b"\n", b"\r\n")
            stderr = stderr.replace(b"\n", b"\r\n")
        self.assertEqual(result.stderr, stderr)
        self.assertEqual(result.stdout, stdout)
        self.assertEqual(result.status, status)

    def write_raw(self, path, data):
        """Writes a file under a name given as bytes (any byte but 0 and /)."""
        full = os.path.join(os.fsencode(self.dir), path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


def pattern(size):
    """Data holding every byte value, 0xFF often enough to wrap the sum."""
    block = bytes((i * 7 + i // 251) & 0xFF for i in range(65521)) + b"\xff" * 15
    return (block * (size // len(block) + 1))[:size]


class RoundTrip(ReaderCase):
    """Files archived by tessel in both formats, listed and tested.  Each
    row: (path given to tessel, data) pairs; the stored name is the path's
    final component cut to 31 bytes."""


def _round_trip(self, files):
    for path, data in files:
        self.write_raw(path, data)
    stored = [(os.path.basename(path)[:31], len(data)) for path, data in files]
    for fmt in (2, 1):
        with self.subTest(fmt=fmt):
            switch = ["-1"] if fmt == 1 else []
            r = self.tessel(*switch, "a.arc", *[p for p, _ in files])
            self.assertStderr(r, b"", 0)
            self.assertRun(self.untessel("-l", "a.arc"), listing(stored), b"", 0)
            self.assertRun(self.untessel("-t", "-v", "a.arc"), verdicts(stored, fmt), b"", 0)


# Every byte a file name can hold on Linux, cut into names of up to 31
# bytes; "./" keeps a backslash in the stored name.  tessel refuses a path
# holding * or ?, so those two are left to StoredNames.
NAME_BYTES = bytes(b for b in range(1, 256) if b not in b"/*?")
ROUND_TRIPS = {
    "empty_file": ([(b"e", b"")],),
    "names_of_31_and_40_bytes": ([(b"n" * 31, b"31"), (b"0123456789" * 4, b"40")],),
    "duplicate_names": ([(b"a/x", b"1"), (b"b/x", b"22"), (b"c/x", b"")],),
    "chunk_sizes": ([(b"d%d" % n, pattern(n)) for n in (0, 1, 8191, 8192, 8193)],),
    "several_copy_blocks": ([(b"big", pattern(5 * 2 ** 19 + 3)), (b"after", b"tail")],),
}
if not harness.WINDOWS:
    ROUND_TRIPS["every_name_byte"] = ([(b"./" + NAME_BYTES[i:i + 31], bytes([i]))
                                       for i in range(0, len(NAME_BYTES), 31)],)
add_table(RoundTrip, ROUND_TRIPS, _round_trip)


class StoredNames(ReaderCase):
    def test_every_byte_but_0_is_printed_safely(self):
        # Whatever an archive holds: a slash, a wildcard, every control
        # byte, DEL and the bytes from 0x80 up.
        raw = bytes(range(1, 256))
        names = [raw[i:i + 31] for i in range(0, len(raw), 31)]
        for fmt in (2, 1):
            with self.subTest(fmt=fmt):
                self.write("a.arc", archive([entry(n, b"x", fmt) for n in names], fmt))
                self.assertRun(self.untessel("-l", "a.arc"), listing((n, 1) for n in names),
                               b"", 0)
                self.assertRun(self.untessel("-tv", "a.arc"),
                               verdicts([(n, 1) for n in names], fmt), b"", 0)

    def test_escapes_spelled_out(self):
        self.write("a.arc", archive([entry(b"\x01\\ \x7f\x80\xffA~\n\x1b[2J", b"x")]))
        self.assertRun(self.untessel("-l", "a.arc"),
                       b"         1  \\x01\\\\ \\x7f\\x80\\xffA~\\x0a\\x1b[2J\n", b"", 0)


class CommandLine(ReaderCase):
    """Switches, operands and the archive's name against one archive of
    a (1 byte), x twice (2 and 3 bytes) and a 40-byte name.  Each row:
    words, what prepares the case and gives standard input (None: nothing
    to prepare, standard input empty), stdout, stderr, status."""

    def setUp(self):
        super().setUp()
        for path, data in FIXTURE:
            self.write(path, data)
        self.assertStderr(self.tessel("a.arc", *[p for p, _ in FIXTURE]), b"", 0)
        os.mkdir(self.path("dir"))


LONG = "0123456789" * 4
FIXTURE = [("a", b"1"), ("d1/x", b"22"), ("d2/x", b"333"), (LONG, b"4444")]
ALL = [(b"a", 1), (b"x", 2), (b"x", 3), (LONG[:31].encode(), 4)]


def _command_case(self, words, prepare, stdout, stderr, status):
    stdin = prepare(self) if prepare else None
    self.assertRun(self.untessel(*words, input=stdin), stdout, stderr, status)


def _archive_bytes(self):
    return self.read("a.arc")


def _copied_to(name):
    """Copies the archive to `name`; nothing on standard input."""
    def prepare(self):
        with open(self.path(name), "wb") as f:
            f.write(self.read("a.arc"))
    return prepare


def _not_found(*names):
    return messages(b"a.arc", [n + b": not found in the archive" for n in names])


COMMAND_CASES = {
    "list": (["-l", "a.arc"], None, listing(ALL), b"", 0),
    "test_verbose": (["-t", "-v", "a.arc"], None, verdicts(ALL, 2), b"", 0),
    "combined_letters": (["-tv", "a.arc"], None, verdicts(ALL, 2), b"", 0),
    "combined_letters_other_order": (["-vt", "a.arc"], None, verdicts(ALL, 2), b"", 0),
    "mode_given_twice": (["-l", "-l", "a.arc"], None, listing(ALL), b"", 0),
    "name_selects": (["-l", "a.arc", "a"], None, listing(ALL[:1]), b"", 0),
    "duplicate_name_selects_both": (["-l", "a.arc", "x"], None, listing(ALL[1:3]), b"", 0),
    "names_in_archive_order": (["-tv", "a.arc", "x", "a"], None, verdicts(ALL[:3], 2), b"", 0),
    "name_matching_twice": (["-l", "a.arc", "a", "a"], None, listing(ALL[:1]), b"", 0),
    "name_not_found": (["-l", "a.arc", "zz"], None, b"", _not_found(b"zz"), 1),
    "name_not_found_when_testing": (["-t", "a.arc", "a", "zz"], None, b"", _not_found(b"zz"), 1),
    "found_and_not_found": (["-l", "a.arc", "zz", "x", "y"], None, listing(ALL[1:3]),
                            _not_found(b"zz", b"y"), 1),
    "name_compared_byte_for_byte": (["-l", "a.arc", "A", "x "], None, b"",
                                    _not_found(b"A", b"x "), 1),
    "cut_name_matches_only_its_stored_bytes": (["-l", "a.arc", LONG, LONG[:31]], None,
                                               listing(ALL[3:]), _not_found(LONG.encode()), 1),
    "operands_after_archive_are_names": (["-l", "a.arc", "-t"], None, b"", _not_found(b"-t"), 1),
    "standard_input": (["-tv", "-"], _archive_bytes, verdicts(ALL, 2), b"", 0),
    "standard_input_listed": (["-l", "-", "x"], _archive_bytes, listing(ALL[1:3]), b"", 0),
    "standard_input_named_in_messages": (
        ["-t", "-"], lambda self: self.read("a.arc")[:50], b"", b"untessel: standard input: "
        b"offset 43: entry 2: truncated: the archive ends at offset 50\n", 1),
    "double_hyphen_ends_switches": (["-l", "--", "-a.arc"], _copied_to("-a.arc"),
                                    listing(ALL), b"", 0),
    "hyphen_word_is_a_switch_without_double_hyphen": (
        ["-l", "-a.arc"], _copied_to("-a.arc"), b"",
        b"untessel: unknown option -a\n" + USAGE, 1),
    "no_words": ([], None, b"", b"untessel: one of -l, -t, -x or -p is required\n" + USAGE, 1),
    "no_mode": (["-v", "a.arc"], None, b"", b"untessel: one of -l, -t, -x or -p is required\n" + USAGE, 1),
    "both_modes": (["-l", "-t", "a.arc"], None, b"",
                   b"untessel: only one of -l, -t, -x and -p may be given\n" + USAGE, 1),
    "both_modes_combined": (["-tl", "a.arc"], None, b"",
                            b"untessel: only one of -l, -t, -x and -p may be given\n" + USAGE, 1),
    "unknown_letter": (["-lq", "a.arc"], None, b"", b"untessel: unknown option -q\n" + USAGE, 1),
    "no_archive": (["-l"], None, b"", b"untessel: no archive named\n" + USAGE, 1),
    "no_archive_after_double_hyphen": (["-t", "--"], None, b"",
                                       b"untessel: no archive named\n" + USAGE, 1),
    "archive_missing": (["-l", "nosuch.arc"], None, b"",
                        b"untessel: nosuch.arc: " + ERROR_TEXT["ENOENT"] + b"\n", 1),
    "archive_missing_with_names": (["-t", "nosuch.arc", "a"], None, b"",
                                   b"untessel: nosuch.arc: " + ERROR_TEXT["ENOENT"] + b"\n", 1),
    # Windows refuses to open a directory at all.
    "archive_is_a_directory": (["-t", "dir"], None, b"", b"untessel: dir: " + ERROR_TEXT[
        "EACCES" if harness.WINDOWS else "EISDIR"] + b"\n", 1),
}
if not harness.WINDOWS:
    COMMAND_CASES["unknown_control_byte"] = ([b"-l\x1b", "a.arc"], None, b"",
                                             b"untessel: unknown option byte 0x1b\n" + USAGE, 1)
    COMMAND_CASES["name_escaped_in_message"] = ([b"-l", b"a.arc", b"q\n\\\xff"], None, b"",
                                                _not_found(b"q\\x0a\\\\\\xff"), 1)
add_table(CommandLine, COMMAND_CASES, _command_case)


# The damaged archives all derive from this one: two entries, the second
# empty.  Format 2: entry 1 at 4 (43 bytes), entry 2 at 47 (38), END_MARK at
# 85; format 1: entry 1 at 4 (41), entry 2 at 45 (36), END_MARK at 81.
ENTRIES = [(b"ab", b"hello"), (b"c", b"")]


def sound(fmt):
    return archive([entry(n, d, fmt) for n, d in ENTRIES], fmt)


def starts(fmt):
    """Offsets of the entries and of END_MARK in the sound archive."""
    offsets = [4]
    for name, data in ENTRIES:
        offsets.append(offsets[-1] + len(entry(name, data, fmt)))
    return offsets


def patch(data, offset, value):
    return data[:offset] + bytes([value]) + data[offset + 1:]


def listed(count):
    return [(n, len(d)) for n, d in ENTRIES[:count]]


class Damage(ReaderCase):
    """Damaged archives.  Each row gives, for a format, the cases: archive
    bytes, -t's messages, -l's messages (None: the same), and how many
    entries -l lists.  -t never ends with status 0 on any of them; -l does
    only when its messages are empty.  -l is also run with the archive on
    standard input, where it cannot seek over the data."""


def _damage_case(self, make):
    for fmt in formats():
        for data, t_msgs, l_msgs, count in sample(make(fmt)):
            l_msgs = t_msgs if l_msgs is None else l_msgs
            with self.subTest(fmt=fmt, archive=data.hex(" ")):
                self.write("a.arc", data)
                self.assertRun(self.untessel("-t", "a.arc"), b"",
                               messages(b"a.arc", t_msgs), 1)
                list_status = 1 if l_msgs else 0
                self.assertRun(self.untessel("-l", "a.arc"), listing(listed(count)),
                               messages(b"a.arc", l_msgs), list_status)
                self.assertRun(self.untessel("-l", "-", input=data), listing(listed(count)),
                               messages(b"standard input", l_msgs), list_status)


def truncations(fmt):
    """Every proper prefix of the sound archive."""
    data = sound(fmt)
    offsets = starts(fmt)
    for length in range(len(data)):
        if length < 4:
            text = b"offset %d: truncated in the archive header" % length
        elif length in offsets:
            text = b"offset %d: truncated: the end mark is missing" % length
        else:
            number = max(i for i, start in enumerate(offsets) if start < length)
            start, name = offsets[number], ENTRIES[number][0]
            named = b" (%s)" % name if length >= start + 32 else b""
            text = b"offset %d: entry %d%s: truncated: the archive ends at offset %d" % (
                start, number + 1, named, length)
        count = sum(1 for start in offsets[:-1] if start + 36 <= length)
        yield data[:length], [text], None, count


def one_case(build):
    """A row of one case: build(fmt, data, offsets) gives it, or None when
    it does not apply to the format."""
    def make(fmt):
        case = build(fmt, sound(fmt), starts(fmt))
        return [] if case is None else [case]
    return make


def checksum_of(fmt, name, data):
    return int.from_bytes(entry(name, data, fmt)[-2:], "little")


MARK = b"byte 0x%02x where an entry mark (0xd1) or the end mark (0xed) belongs"
FILL = b"entry %d (%s): nonzero byte 0x%02x after the name, at offset %d"
TOP_BIT = b"entry %d (%s): data size 0x%08x has its top bit set"
MISMATCH = b"entry %d (%s): checksum mismatch (stored 0x%04x, computed 0x%04x)"


def _fill_then(fmt, d, o):
    # Entry 1's name field holds "ab", 0, "x": the name is "ab".
    damaged = entry(b"ab\0x", b"hello", fmt)
    return (d[:4] + damaged + d[o[1]:],
            [b"offset 4: " + FILL % (1, b"ab", 0x78, 8)], None, 2)


def _fill_and_truncated_data(fmt, d, o):
    # The fill is told once, when the head is read; the data then end short.
    cut = d[:4] + entry(b"ab\0x", b"hello", fmt)[:39]
    return (cut,
            [b"offset 4: " + FILL % (1, b"ab", 0x78, 8),
             b"offset 4: entry 1 (ab): truncated: the archive ends at offset 43"], None, 1)


def _fill_at_field_end(fmt, d, o):
    damaged = entry(b"c" + b"\0" * 29 + b"\x01", b"", fmt)
    return (d[:o[1]] + damaged + d[o[2]:],
            [b"offset %d: " % o[1] + FILL % (2, b"c", 1, o[1] + 31)], None, 2)


def _fill_and_top_bit(fmt, d, o):
    # One head with two faults: both are told, the second stops the reading.
    damaged = b"\xd1" + name_field(b"c\0\x07") + bytes.fromhex("00 00 00 80")
    return (d[:o[1]] + damaged,
            [b"offset %d: " % o[1] + FILL % (2, b"c", 7, o[1] + 3),
             b"offset %d: " % o[1] + TOP_BIT % (2, b"c", 0x80000000)], None, 1)


def _fill_and_truncated_head(fmt, d, o):
    cut = d[:o[1]] + b"\xd1" + name_field(b"c\0\x07") + b"\x00"
    return (cut,
            [b"offset %d: " % o[1] + FILL % (2, b"c", 7, o[1] + 3),
             b"offset %d: entry 2 (c): truncated: the archive ends at offset %d" % (
                 o[1], len(cut))], None, 1)


def _checksum_wrong(number):
    def build(fmt, d, o):
        if fmt == 1:
            return None
        name, data = ENTRIES[number - 1]
        end = o[number] - 2
        right = checksum_of(fmt, name, data)
        wrong = (right + 1) % 65536
        return (d[:end] + wrong.to_bytes(2, "little") + d[end + 2:],
                [b"offset %d: " % o[number - 1] + MISMATCH % (number, name, wrong, right)], [], 2)
    return build


def _checksum_wrong_and_reading_goes_on(fmt, d, o):
    if fmt == 1:
        return None
    # The data change, the stored checksum stays: the sum is of what was read.
    right = checksum_of(fmt, b"ab", b"hello")
    damaged = patch(patch(d, 40, ord("j")), o[1], 0x00)
    return (damaged,
            [b"offset 4: " + MISMATCH % (1, b"ab", right, right + 2),
             b"offset %d: " % o[1] + MARK % 0], [b"offset %d: " % o[1] + MARK % 0], 1)


DAMAGE_CASES = {
    "truncated_everywhere": (truncations,),
    "signature_first_byte": (one_case(lambda fmt, d, o: (
        patch(d, 0, 0x50), [b"offset 0: not a tessel archive (byte 0x50 where the signature "
                            b"ff 00 26 belongs)"], None, 0)),),
    "signature_third_byte": (one_case(lambda fmt, d, o: (
        patch(d, 2, 0x27), [b"offset 2: not a tessel archive (byte 0x27 where the signature "
                            b"ff 00 26 belongs)"], None, 0)),),
    "signature_wrong_in_a_short_file": (one_case(lambda fmt, d, o: (
        b"\xff\x01", [b"offset 1: not a tessel archive (byte 0x01 where the signature "
                      b"ff 00 26 belongs)"], None, 0)),),
    "version_0": (one_case(lambda fmt, d, o: (
        patch(d, 3, 0), [b"offset 3: unknown format version 0"], None, 0)),),
    "version_3": (one_case(lambda fmt, d, o: (
        patch(d, 3, 3), [b"offset 3: unknown format version 3"], None, 0)),),
    "version_255": (one_case(lambda fmt, d, o: (
        patch(d, 3, 255), [b"offset 3: unknown format version 255"], None, 0)),),
    "wrong_first_mark": (one_case(lambda fmt, d, o: (
        patch(d, 4, 0xD2), [b"offset 4: " + MARK % 0xD2], None, 0)),),
    "wrong_second_mark": (one_case(lambda fmt, d, o: (
        patch(d, o[1], 0xEC), [b"offset %d: " % o[1] + MARK % 0xEC], None, 1)),),
    "wrong_end_mark": (one_case(lambda fmt, d, o: (
        patch(d, o[2], 0x00), [b"offset %d: " % o[2] + MARK % 0], None, 2)),),
    "byte_after_end_mark": (one_case(lambda fmt, d, o: (
        d + b"\xed", [b"offset %d: data after the end mark" % len(d)], None, 2)),),
    "entry_after_end_mark": (one_case(lambda fmt, d, o: (
        d + entry(b"z", b"", fmt), [b"offset %d: data after the end mark" % len(d)], None, 2)),),
    "size_top_bit_first_entry": (one_case(lambda fmt, d, o: (
        patch(d, 39, 0x80), [b"offset 4: " + TOP_BIT % (1, b"ab", 0x80000005)], None, 0)),),
    "size_all_ones_second_entry": (one_case(lambda fmt, d, o: (
        d[:o[1] + 32] + b"\xff" * 4 + d[o[1] + 36:],
        [b"offset %d: " % o[1] + TOP_BIT % (2, b"c", 0xFFFFFFFF)], None, 1)),),
    "fill_after_name_reading_goes_on": (one_case(_fill_then),),
    "fill_in_the_last_byte_of_the_field": (one_case(_fill_at_field_end),),
    "fill_and_size_top_bit_in_one_head": (one_case(_fill_and_top_bit),),
    "fill_and_truncated_head": (one_case(_fill_and_truncated_head),),
    "fill_and_truncated_data": (one_case(_fill_and_truncated_data),),
    "checksum_wrong": (one_case(_checksum_wrong(1)),),
    "checksum_wrong_in_an_empty_entry": (one_case(_checksum_wrong(2)),),
    "checksum_wrong_and_reading_goes_on": (one_case(_checksum_wrong_and_reading_goes_on),),
}
add_table(Damage, DAMAGE_CASES, _damage_case)


class ByteChanges(ReaderCase):
    """Format 2: one byte of an entry changed, at every offset of both
    entries, three ways each.  The change is never reported as sound, and
    every message names an offset within the archive."""

    def test_every_byte_of_both_entries(self):
        data = sound(2)
        line = re.compile(rb"^untessel: a\.arc: offset (\d+): .+\n")
        cases = [(offset, data[offset] ^ flip) for offset in range(4, starts(2)[-1])
                 for flip in (0x01, 0x80, 0xFF)]
        for offset, value in sample(cases):
            with self.subTest(offset=offset, value=value):
                self.write("a.arc", patch(data, offset, value))
                r = self.untessel("-t", "a.arc")
                self.assertEqual(r.status, 1)
                self.assertEqual(r.stdout, b"")
                self.assertTrue(r.stderr)
                for text in r.stderr.splitlines(True):
                    m = line.match(text.replace(b"\r\n", b"\n"))
                    self.assertTrue(m, text)
                    self.assertLessEqual(int(m.group(1)), len(data))


class ManyEntries(ReaderCase):
    """20,000 small entries of 0 to 299 bytes, 4.5 MB: wherever the reader's
    buffer ends, some head, checksum or data piece straddles the end, on a
    file and through a pipe alike."""

    def test_many_small_entries(self):
        files = [(b"f%05d" % i, bytes((i + j) & 0xFF for j in range(i * 37 % 300)))
                 for i in range(20000)]
        stored = [(n, len(d)) for n, d in files]
        for fmt in formats():
            with self.subTest(fmt=fmt):
                data = archive([entry(n, d, fmt) for n, d in files], fmt)
                self.write("a.arc", data)
                self.assertRun(self.untessel("-l", "a.arc"), listing(stored), b"", 0)
                self.assertRun(self.untessel("-l", "-", input=data), listing(stored), b"", 0)
                self.assertRun(self.untessel("-t", "a.arc"), b"", b"", 0)
                self.assertRun(self.untessel("-tv", "-", input=data), verdicts(stored, fmt),
                               b"", 0)
        # One data byte changed deep inside: that entry alone fails.
        data = archive([entry(n, d) for n, d in files])
        number = 15002
        start = 4 + sum(38 + len(d) for _, d in files[:number - 1])
        name, body = files[number - 1]
        changed = body[:10] + bytes([body[10] ^ 0x40]) + body[11:]
        self.write("a.arc", data[:start + 36] + changed + data[start + 36 + len(body):])
        self.assertRun(self.untessel("-t", "a.arc"), b"", messages(b"a.arc", [
            b"offset %d: " % start + MISMATCH % (number, name, checksum_of(2, name, body),
                                                 checksum_of(2, name, changed))]), 1)


class _Descriptor:
    """An open descriptor handed to a child as its standard input."""

    def __init__(self, fd):
        self.fd = fd

    def fileno(self):
        return self.fd


@skip_on_windows("a directory as standard input and /dev/full are POSIX features")
class Streams(ReaderCase):
    """Failures of the system on either side: named, and status 1."""

    def test_read_error_names_its_offset(self):
        fd = os.open(self.path("."), os.O_RDONLY)
        self.addCleanup(os.close, fd)
        r = self.untessel("-t", "-", input=_Descriptor(fd))
        self.assertRun(r, b"", b"untessel: standard input: offset 0: read error: " +
                       ERROR_TEXT["EISDIR"] + b"\n", 1)

    def test_full_standard_output(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        self.write("a.arc", sound(2))
        for words in (["-l", "a.arc"], ["-tv", "a.arc"]):
            with self.subTest(words=words), open("/dev/full", "wb") as full:
                proc = subprocess.run(harness.EMULATOR + [harness.UNTESSEL] + words,
                                      cwd=self.dir, stdin=subprocess.DEVNULL, stdout=full,
                                      stderr=subprocess.PIPE, timeout=harness.RUN_TIMEOUT)
                self.assertEqual(proc.stderr, b"untessel: standard output: " +
                                 ERROR_TEXT["ENOSPC"] + b"\n")
                self.assertEqual(proc.returncode, 1)


class Verbose(ReaderCase):
    """-t -v says FAILED for an entry with damage, ok for the others."""

    def test_failed_entries(self):
        right = checksum_of(2, b"ab", b"hello")
        data = (archive([entry(b"ab", b"hello")])[:-1][:-2] + (right ^ 1).to_bytes(2, "little")
                + entry(b"c\0!", b"") + entry(b"d", b"dd") + entry(b"e", b"abc")[:-1])
        self.write("a.arc", data)
        r = self.untessel("-tv", "a.arc")
        self.assertRun(r, b"ab: FAILED\nc: FAILED\nd: ok\ne: FAILED\n", messages(b"a.arc", [
            b"offset 4: " + MISMATCH % (1, b"ab", right ^ 1, right),
            b"offset 47: " + FILL % (2, b"c", 0x21, 50),
            b"offset 125: entry 4 (e): truncated: the archive ends at offset 165",
        ]), 1)


def measured(words, cwd, chunks, timeout=60):
    """Runs untessel with `chunks` written to its standard input by a
    thread.  Returns the status, stdout, stderr and the peak resident memory
    in KiB that untessel had reached once it had taken all but the last
    pipe's worth of input (before its input ends, while it still runs; the
    child's rusage would also count the test's own memory from before the
    exec)."""
    with open(os.path.join(cwd, "stdout"), "w+b") as out, \
            open(os.path.join(cwd, "stderr"), "w+b") as err:
        proc = subprocess.Popen([harness.UNTESSEL] + words, cwd=cwd, stdin=subprocess.PIPE,
                                stdout=out, stderr=err)
        peak = []

        def writer():
            try:
                for chunk in chunks:
                    proc.stdin.write(chunk)
                proc.stdin.flush()
                with open("/proc/%d/status" % proc.pid) as status:
                    peak.extend(int(line.split()[1]) for line in status
                                if line.startswith("VmHWM:"))
                proc.stdin.close()
            except BrokenPipeError:
                pass

        thread = threading.Thread(target=writer)
        thread.start()
        try:
            proc.wait(timeout)
        finally:
            proc.kill()
            thread.join()
        out.seek(0)
        err.seek(0)
        return proc.returncode, out.read(), err.read(), peak[0] if peak else None


def head(name, size):
    return b"\xd1" + name_field(name) + size.to_bytes(4, "little")


class BoundedMemory(ReaderCase):
    """Sizes in an archive never decide how much memory untessel takes."""

    def test_size_of_2_GiB_over_10_bytes_is_truncated(self):
        self.write("a.arc", b"\xff\x00\x26\x02" + head(b"big", 0x7FFFFFFF) + b"0123456789")
        message = (b"untessel: %s: offset 4: entry 1 (big): truncated: "
                   b"the archive ends at offset 50\n")
        # The limit shows that nothing near the size is ever allocated.
        limit = None if harness.EMULATOR or harness.WINDOWS else 64 << 20
        for words, label, data in ((["-t", "a.arc"], b"a.arc", None),
                                   (["-l", "a.arc"], b"a.arc", None),
                                   (["-t", "-"], b"standard input", self.read("a.arc")),
                                   (["-l", "-"], b"standard input", self.read("a.arc"))):
            with self.subTest(words=words):
                r = self.untessel(*words, input=data, memory_limit=limit, timeout=20)
                listed_big = listing([(b"big", 0x7FFFFFFF)]) if "-l" in words else b""
                self.assertRun(r, listed_big, message % label, 1)

    @skip_on_windows("peak memory is measured with wait4")
    def test_1_GiB_from_a_pipe_in_constant_memory(self):
        if harness.SANITIZED or harness.EMULATOR:
            self.skipTest("measures the plain build's own memory, and takes too long otherwise")
        if not os.path.exists("/proc/self/status"):
            self.skipTest("peak memory is read from /proc")
        block = pattern(2 ** 20)

        def big(blocks):
            size = blocks * len(block)
            front = b"\xff\x00\x26\x02" + head(b"big", size)
            checksum = (sum(front[4:]) + blocks * sum(block)) % 65536
            yield front
            for _ in range(blocks):
                yield block
            yield checksum.to_bytes(2, "little") + b"\xed"

        # 8 MiB take a few times more than the pipe and the reader's
        # buffer hold, and set the level that 1 GiB must keep.
        status, out, err, small_peak = measured(["-tv", "-"], self.dir, big(8))
        self.assertEqual((status, out, err), (0, b"big: ok\n", b""))
        started = time.monotonic()
        status, out, err, big_peak = measured(["-tv", "-"], self.dir, big(1024))
        elapsed = time.monotonic() - started
        self.assertEqual((status, out, err), (0, b"big: ok\n", b""))
        self.assertLess(big_peak, 8 * 1024, "peak resident KiB")
        self.assertLess(big_peak - small_peak, 512, "KiB more than for 8 MiB")
        self.assertLess(elapsed, 30, "seconds")


class Seeking(ReaderCase):
    """-l over a sparse archive of 256 entries of 2 GiB - 1 each, about
    512 GiB: listing it seeks over the data, while reading them, even as
    holes, would take minutes.  Offsets beyond 4 GiB are told right."""

    COUNT = 256
    SIZE = 2 ** 31 - 1

    def setUp(self):
        super().setUp()
        offset = 4
        try:
            with open(self.path("big.arc"), "wb") as f:
                f.write(b"\xff\x00\x26\x02")
                for i in range(self.COUNT):
                    h = head(b"e%03d" % i, self.SIZE)
                    f.seek(offset)
                    f.write(h)
                    f.seek(offset + len(h) + self.SIZE)
                    f.write((sum(h) % 65536).to_bytes(2, "little"))
                    offset += len(h) + self.SIZE + 2
                f.write(b"\xed")
        except OSError as e:
            self.skipTest("no sparse file of 512 GiB here: %s" % e)
        self.end = offset
        self.listing = listing([(b"e%03d" % i, self.SIZE) for i in range(self.COUNT)])

    def test_list_seeks_over_the_data(self):
        r = self.untessel("-l", "big.arc", timeout=30)
        self.assertRun(r, self.listing, b"", 0)

    def test_list_seeks_on_a_file_as_standard_input(self):
        with open(self.path("big.arc"), "rb") as f:
            r = self.untessel("-l", "-", input=f, timeout=30)
        self.assertRun(r, self.listing, b"", 0)

    def test_fault_beyond_4_GiB(self):
        with open(self.path("big.arc"), "ab") as f:
            f.write(b"\x00")
        r = self.untessel("-l", "big.arc", "e255", timeout=30)
        self.assertRun(r, self.listing.splitlines(True)[-1],
                       b"untessel: big.arc: offset %d: data after the end mark\n" % (self.end + 1),
                       1)
