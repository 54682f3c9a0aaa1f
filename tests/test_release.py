"""Release: the same source gives the same executable; the archive holds what it should."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

import harness

SOURCE = os.path.abspath(sys.argv.pop(1))
BUILD = os.path.join(SOURCE, "build", "win32")
harness.require("cmake", "ninja", "i686-w64-mingw32-g++-win32")
if not os.path.exists(os.path.join(BUILD, "SHA256SUMS")):
    harness.skip("no release archive: run cmake --workflow --preset release first")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Release(unittest.TestCase):
    def test_second_build_in_another_folder_is_byte_identical(self):
        with tempfile.TemporaryDirectory(prefix="mousetrap-rebuild-") as tmp:
            copy = os.path.join(tmp, "elsewhere")
            shutil.copytree(SOURCE, copy, ignore=shutil.ignore_patterns("build", ".git"))
            for step in (["cmake", "--preset", "win32"], ["cmake", "--build", "--preset", "win32"]):
                subprocess.run(step, cwd=copy, check=True, capture_output=True, timeout=300)
            rebuilt = read(os.path.join(copy, "build", "win32", "mousetrap.exe"))
        self.assertEqual(rebuilt, read(os.path.join(BUILD, "mousetrap.exe")))

    def test_archive_and_checksum(self):
        (line,) = read(os.path.join(BUILD, "SHA256SUMS")).decode().splitlines()
        digest, name = line.split("  ")
        archive = os.path.join(BUILD, name)
        self.assertRegex(name, r"^mousetrap-\d+\.\d+\.\d+-win32\.zip$")
        self.assertEqual(hashlib.sha256(read(archive)).hexdigest(), digest)
        print(f"\n{name}: {os.path.getsize(archive)} bytes, sha256 {digest}", file=sys.stderr)
        top = name[: -len(".zip")]
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(sorted(z.namelist()),
                             [f"{top}/LICENSE", f"{top}/README.md", f"{top}/mousetrap.exe"])
            for member in ("LICENSE", "README.md"):
                self.assertEqual(z.read(f"{top}/{member}"), read(os.path.join(SOURCE, member)))
            self.assertEqual(z.read(f"{top}/mousetrap.exe"), read(os.path.join(BUILD, "mousetrap.exe")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
