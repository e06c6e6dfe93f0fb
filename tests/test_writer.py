"""Archive writer: entry layout, names, data and checksums, and a file that
grows while it is copied.  Full disks, devices, refused sizes and memory are
in test_faults.py."""

import os
import unittest

import harness
from harness import TesselCase, add_table, archive, entry, name_field, run, skip_on_windows

HEADER2 = (0, "FF 00 26 02", "header, format 2")
HEADER1 = (0, "FF 00 26 01", "header, format 1")


class Layout(TesselCase):
    """Archives spelled out field by field."""

    def test_format_1_has_no_checksum(self):
        self.write("dir/a.txt", b"abc")
        r = self.tessel("-1", "out.arc", "dir/a.txt")
        self.assertStderr(r, b"", 0)
        self.assertLayout(self.read("out.arc"), [
            HEADER1,
            (4, "D1", "ENTRY_MARK"),
            (5, "61 2E 74 78 74" + " 00" * 26, "name field: a.txt"),
            (36, "03 00 00 00", "data size 3"),
            (40, "61 62 63", "data"),
            (43, "ED", "END_MARK right after the data"),
        ], 44)

    def test_empty_file(self):
        self.write("e", b"")
        r = self.tessel("-v", "out.arc", "e")
        self.assertStderr(r, b"processing e -> e is Ok\n", 0)
        self.assertLayout(self.read("out.arc"), [
            HEADER2,
            (4, "D1", "ENTRY_MARK"),
            (5, "65" + " 00" * 30, "name field: e"),
            (36, "00 00 00 00", "data size 0"),
            (40, "36 01", "checksum 209 + 101 = 310"),
            (42, "ED", "END_MARK"),
        ], 43)

    def test_name_of_31_bytes_fills_the_field(self):
        name = "n" * 31
        self.write(name, b"")
        r = self.tessel("-v", "out.arc", name)
        self.assertStderr(r, b"processing %s -> %s is Ok\n" % (name.encode(), name.encode()), 0)
        self.assertLayout(self.read("out.arc"), [
            HEADER2,
            (4, "D1", "ENTRY_MARK"),
            (5, "6E" * 31, "name field: 31 x 'n', no terminator"),
            (36, "00 00 00 00", "data size 0"),
            (40, "23 0E", "checksum 209 + 31 * 110 = 3619"),
            (42, "ED", "END_MARK"),
        ], 43)

    def test_name_of_40_bytes_is_cut_but_printed_whole(self):
        name = "0123456789" * 4
        self.write("d/" + name, b"Z")
        r = self.tessel("-v", "out.arc", "d/" + name)
        self.assertStderr(r, b"processing d/%s -> %s is Ok\n" % (name.encode(), name.encode()), 0)
        self.assertLayout(self.read("out.arc"), [
            HEADER2,
            (4, "D1", "ENTRY_MARK"),
            (5, name[:31].encode(), "name field: first 31 bytes"),
            (36, "01 00 00 00", "data size 1"),
            (40, "5A", "data"),
            (41, "83 07", "checksum 209 + 1623 + 1 + 90 = 1923"),
            (43, "ED", "END_MARK"),
        ], 44)

    def test_checksum_wraps_at_65536(self):
        self.write("ff", b"\xff" * 300)   # 76500 bytes of sum from the data alone
        r = self.tessel("out.arc", "ff")
        self.assertStderr(r, b"", 0)
        data = self.read("out.arc")
        expected = (209 + 0x66 * 2 + (300 & 0xFF) + (300 >> 8) + 255 * 300) % 65536
        self.assertLayout(data, [
            HEADER2,
            (36, "2C 01 00 00", "data size 300"),
            (40 + 300, expected.to_bytes(2, "little"), "checksum mod 65536"),
            (342, "ED", "END_MARK"),
        ], 343)


class StoredName(TesselCase):
    """The final component: after the last slash, else after the last
    backslash, else the whole path.  Each row: the item, the stored name,
    and the file the item names when that is not the item itself."""

    @skip_on_windows("a path that ends in a separator names a directory on Windows, never a file")
    def test_trailing_backslash_gives_empty_name(self):
        _name_case(self, "sub\\", "")


def _name_case(self, item, stored, fixture=None):
    self.write(fixture or item, b"x")
    r = self.tessel("out.arc", item)
    self.assertStderr(r, b"", 0)
    self.assertEqual(self.read("out.arc")[5:36].hex(" "), name_field(stored).hex(" "))


NAME_CASES = {
    "plain": ("plain.txt", "plain.txt"),
    "slash": ("d/e/f.txt", "f.txt"),
    "backslash_inside_last_component": ("a/b\\c", "b\\c"),
    "slash_after_backslash": ("a\\b/c", "c"),
    "backslash_only": ("a\\b\\c", "c"),
    "drive_prefix_stays": ("C:x.txt", "C:x.txt"),
    "spaces_kept": (" sp ace ", " sp ace "),
}
# On Windows a backslash separates directories as a slash does, a drive
# prefix names a drive, and trailing spaces are dropped from a file's name;
# the same items there name other files, and are stored under the same names.
if harness.WINDOWS:
    NAME_CASES.update({
        "backslash_inside_last_component": ("a/b\\c", "b\\c", "a/b/c"),
        "slash_after_backslash": ("a\\b/c", "c", "a/b/c"),
        "backslash_only": ("a\\b\\c", "c", "a/b/c"),
        "drive_prefix_stays": (harness.WINE_ROOT_DRIVE + "x.txt",
                               harness.WINE_ROOT_DRIVE + "x.txt", "x.txt"),
        "spaces_kept": (" sp ace ", " sp ace ", " sp ace"),
    })
add_table(StoredName, NAME_CASES, _name_case)


class Data(TesselCase):
    """Data of several chunks are stored whole with the right checksum."""


def _data_case(self, size, fmt):
    data = bytes((i * 7 + i // 251) & 0xFF for i in range(size))
    self.write("d.bin", data)
    r = self.tessel("-1" if fmt == 1 else "-", "out.arc", "d.bin")
    self.assertStderr(r, b"", 0)
    self.assertEqual(self.read("out.arc"), archive([entry("d.bin", data, fmt)], fmt))


add_table(Data, {
    "one_chunk_minus_1": (8191, 2),
    "one_chunk": (8192, 2),
    "one_chunk_plus_1": (8193, 2),
    "several_chunks": (5 * 8192 + 77, 2),
    "larger_than_a_stream_buffer": (300000, 2),
    "several_chunks_format_1": (5 * 8192 + 77, 1),
    "several_copy_blocks": (3 * 2 ** 20 + 77, 2),
    "several_copy_blocks_format_1": (3 * 2 ** 20 + 77, 1),
}, _data_case)


def pattern(size, shift):
    """Data in which every byte value occurs, different for each shift."""
    block = bytes((i * 7 + shift + i // 251) & 0xFF for i in range(65521))
    return (block * (size // len(block) + 1))[:size]


class LargeData(TesselCase):
    def test_large_files_back_to_back(self):
        # Each entry's data start at another offset within a page, and the
        # large ones take several copy blocks; c's bytes of 255 make every
        # lane of the checksum wrap around many times.
        files = [("a", pattern(13, 1)), ("b", pattern(2 ** 20 + 3, 2)),
                 ("c", b"\xff" * (2 ** 21 + 8191)), ("d", pattern(65537, 4))]
        for name, data in files:
            self.write(name, data)
        for fmt in (2, 1):
            with self.subTest(fmt=fmt):
                r = self.tessel("-1" if fmt == 1 else "-", "out.arc", *(n for n, _ in files))
                self.assertStderr(r, b"", 0)
                self.assertEqual(self.read("out.arc"),
                                 archive([entry(n, d, fmt) for n, d in files], fmt))


class ArchiveAsItem(TesselCase):
    def test_archive_named_as_item_is_an_ordinary_file(self):
        self.write("a.txt", b"abc")
        r = self.tessel("out.arc", "a.txt", "out.arc")
        self.assertStderr(r, b"", 0)
        data = self.read("out.arc")
        self.assertEqual(data[:4 + 41], archive([entry("a.txt", b"abc")])[:-1])
        size = int.from_bytes(data[45 + 32:45 + 36], "little")
        self.assertEqual(len(data), 45 + 38 + size + 1)


@unittest.skipUnless(harness.STAT_SHIM, "needs the size-misreporting library (Linux)")
class Growth(TesselCase):
    """A file longer than its status said, as if it grew after it was opened:
    copying goes on in 8192-byte chunks while fewer bytes than recorded were
    copied, so the extra bytes show unless the recorded size is a multiple of
    8192.  Rows: recorded size, real size, bytes copied."""


def _growth_case(self, recorded, real, copied):
    data = bytes((i * 13) & 0xFF for i in range(real))
    name = "g.reported-%d" % recorded
    self.write(name, data)
    env = dict(os.environ, LD_PRELOAD=harness.STAT_SHIM)
    for keep in (False, True):
        r = run(["-d" if keep else "-", "out.arc", name], self.dir, env=env)
        if copied == recorded:
            self.assertStderr(r, b"", 0)
            self.assertEqual(self.read("out.arc"), archive([entry(name, data[:recorded])]))
            continue
        self.assertStderr(r, b"original %d write size %d\n" % (recorded, copied), 1)
        if keep:
            self.assertEqual(self.read("out.arc"),
                             archive([entry(name, data[:recorded])])[:40] + data[:copied])
        else:
            self.assertNoArchive()


add_table(Growth, {
    "small_file_grows": (5, 100, 100),
    "tail_beyond_the_last_chunk_is_not_read": (8193, 40000, 16384),
    "grows_within_the_last_chunk": (10000, 12000, 12000),
    "multiple_of_8192_stops_exactly": (8192, 9000, 8192),
    "several_chunks_multiple_stops_exactly": (3 * 8192, 5 * 8192 + 3, 3 * 8192),
    "empty_by_status_copies_nothing": (0, 700, 0),
    "beyond_several_copy_blocks": (2 ** 21 + 1, 3 * 2 ** 20, 2 ** 21 + 8192),
    "several_copy_blocks_multiple_stops_exactly": (2 ** 21, 2 ** 21 + 5000, 2 ** 21),
}, _growth_case)


if __name__ == "__main__":
    unittest.main()
