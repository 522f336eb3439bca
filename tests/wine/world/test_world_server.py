"""The world server's answer modes, without a network. Run natively by ctest."""

import os
import tempfile
import time
import unittest

from world_server import ModeFile


class Modes(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "mode")
        self.modes = ModeFile(self.path)

    def tearDown(self):
        self.dir.cleanup()

    def write(self, mode):
        with open(self.path, "w") as f:
            f.write(mode + "\n")
        # a new version of the file even within one clock tick
        os.utime(self.path, ns=(time.time_ns(), time.time_ns() + 1_000_000))

    def test_missing_file_answers_204(self):
        self.assertEqual([self.modes.status() for _ in range(2)], [204, 204])

    def test_fixed_modes(self):
        for mode, status in (("204", 204), ("503", 503), ("silent", None)):
            self.write(mode)
            self.assertEqual(self.modes.status(), status, mode)

    def test_204_once_counts_per_version_of_the_file(self):
        self.write("204-once")
        self.assertEqual([self.modes.status() for _ in range(3)], [204, 503, 503])
        self.write("204-once")
        self.assertEqual(self.modes.status(), 204)


if __name__ == "__main__":
    unittest.main()
