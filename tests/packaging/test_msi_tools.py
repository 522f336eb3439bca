"""Unit tests of the installer build tools (packaging/build_msi.py, packaging/msi_summary.py)."""

import os
import struct
import sys
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
import build_msi  # noqa: E402
import msi_summary  # noqa: E402


def property_set(properties):
    """A one-section property set stream as the summary information holds it."""
    values = b""
    table = []
    header_size = 8 + 8 * len(properties)
    for pid, (vt, payload) in properties.items():
        table.append((pid, header_size + len(values)))
        value = struct.pack("<I", vt) + payload
        values += value + b"\0" * (-len(value) % 4)
    section = struct.pack("<II", header_size + len(values), len(properties))
    section += b"".join(struct.pack("<II", pid, offset) for pid, offset in table) + values
    head = struct.pack("<HHI", 0xFFFE, 0, 0x20002) + b"\0" * 16 + struct.pack("<I", 1)
    head += b"\x11" * 16 + struct.pack("<I", 48)
    return head + section


def lpstr(text):
    raw = text.encode("ascii") + b"\0"
    return (msi_summary.VT_LPSTR, struct.pack("<I", len(raw)) + raw)


def filetime(value):
    return (msi_summary.VT_FILETIME, struct.pack("<Q", value))


RANDOM_CODE = "{14BF1DD9-6D1B-4378-9D23-EABE999224CD}"


class VersionTest(unittest.TestCase):
    def test_versions(self):
        cases = [
            ("0.1.0", (0, 1, 0)),
            ("255.255.65535", (255, 255, 65535)),
            ("1.2", None),
            ("1.2.3.4", None),
            ("256.0.0", None),
            ("0.256.0", None),
            ("0.0.65536", None),
            ("v1.2.3", None),
            ("1.2.x", None),
        ]
        for text, wanted in cases:
            with self.subTest(text=text):
                if wanted is None:
                    self.assertRaises(ValueError, build_msi.parse_version, text)
                else:
                    self.assertEqual(build_msi.parse_version(text), wanted)


class CodeTest(unittest.TestCase):
    def test_product_code_fixed_per_version(self):
        first = build_msi.product_code("Vantorel", "0.1.0")
        self.assertEqual(first, build_msi.product_code("Vantorel", "0.1.0"))
        self.assertNotEqual(first, build_msi.product_code("Vantorel", "0.1.1"))
        self.assertEqual(first, str(uuid.UUID(first)).upper())
        self.assertNotEqual(uuid.UUID(first), build_msi.UPGRADE_CODE)

    def test_package_code_follows_content(self):
        self.assertEqual(build_msi.package_code(b"abc"), build_msi.package_code(b"abc"))
        self.assertNotEqual(build_msi.package_code(b"abc"), build_msi.package_code(b"abd"))
        self.assertNotEqual(build_msi.package_code(b"abc"), build_msi.product_code("Vantorel", "0.1.0"))

    def test_post_queries(self):
        queries = build_msi.post_queries()
        self.assertEqual(len(queries), 4)
        self.assertTrue(queries[0].startswith("CREATE TABLE `MsiLockPermissionsEx`"))
        self.assertIn("'INSTALLDIR', 'CreateFolder', 'D:PAI(", queries[1])
        self.assertTrue(queries[2].endswith("REMOVELOGS' WHERE `Property` = 'SecureCustomProperties'"))
        self.assertIn("`ErrorControl` = 32769", queries[3])


class SummaryTest(unittest.TestCase):
    def summary(self, code=RANDOM_CODE, created=123, saved=456, extra=None):
        properties = {2: lpstr("Installation Database"), 9: lpstr(code),
                      12: filetime(created), 13: filetime(saved)}
        properties.update(extra or {})
        return property_set(properties)

    def test_patch_sets_code_and_both_dates_only(self):
        stream = self.summary(extra={14: (3, struct.pack("<I", 500))})
        patched = msi_summary.patched_summary(stream, "abcdef01-2345-6789-abcd-ef0123456789", 1700000000)
        self.assertEqual(len(patched), len(stream))
        where = msi_summary.property_locations(patched)
        at = where[9][1]
        self.assertEqual(patched[at + 4:at + 43], b"{ABCDEF01-2345-6789-ABCD-EF0123456789}\0")
        for pid in (12, 13):
            value = struct.unpack_from("<Q", patched, where[pid][1])[0]
            self.assertEqual(value, 133444736000000000)  # 2023-11-14T22:13:20Z
        changed = [i for i in range(len(stream)) if stream[i] != patched[i]]
        spans = [(where[9][1] + 4, where[9][1] + 43), (where[12][1], where[12][1] + 8),
                 (where[13][1], where[13][1] + 8)]
        self.assertTrue(all(any(lo <= i < hi for lo, hi in spans) for i in changed))

    def test_malformed_summaries_are_refused(self):
        cases = {
            "not a property set": b"\x00" * 64,
            "short code": self.summary(code="{1234}"),
            "no dates": property_set({9: lpstr(RANDOM_CODE)}),
            "code of another type": property_set({9: filetime(1), 12: filetime(1), 13: filetime(1)}),
            "truncated": self.summary()[:60],
        }
        for name, stream in cases.items():
            with self.subTest(name):
                self.assertRaises(msi_summary.MsiFormatError, msi_summary.patched_summary,
                                  stream, "abcdef01-2345-6789-abcd-ef0123456789", 0)

    def test_not_a_compound_file(self):
        for data in (b"", b"PK\x03\x04" + b"\0" * 600, msi_summary.SIGNATURE):
            with self.subTest(size=len(data)):
                self.assertRaises(msi_summary.MsiFormatError, msi_summary.CompoundFile, data)

    def test_sector_chains(self):
        table = [1, 2, msi_summary.END_OF_CHAIN, 0, 7]
        self.assertEqual(msi_summary.CompoundFile._chain(table, 0), [0, 1, 2])
        self.assertEqual(msi_summary.CompoundFile._chain(table, 3), [3, 0, 1, 2])
        for start in (4, 9):  # points outside the table
            self.assertRaises(msi_summary.MsiFormatError, msi_summary.CompoundFile._chain, table, start)
        looped = [1, 0]
        self.assertRaises(msi_summary.MsiFormatError, msi_summary.CompoundFile._chain, looped, 0)

    def test_filetime_epoch(self):
        self.assertEqual(msi_summary.unix_to_filetime(0), 116444736000000000)


if __name__ == "__main__":
    unittest.main()
