"""Release: the same commit gives the same executable, archive and SHA256SUMS, byte for byte,
wherever and whenever it is built; the archive holds what it should; and a build configured
with a signing key carries a valid Authenticode signature, or fails and leaves no executable."""
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import harness
from harness import read

SOURCE = os.path.abspath(sys.argv.pop(1))
BUILD = os.path.join(SOURCE, "build", "win32")
harness.require("cmake", "ninja", "i686-w64-mingw32-g++-win32", "strip-nondeterminism",
                "osslsigncode", "openssl", "git")
if not os.path.exists(os.path.join(BUILD, "SHA256SUMS")):
    harness.skip("no release archive: run cmake --workflow --preset release first")
PASSWORD = r"correct horse\c 7"  # dash's echo would stop at \c


def release_files(build):
    """{name: bytes} of the executable, the archive and SHA256SUMS in `build`."""
    (line,) = read(os.path.join(build, "SHA256SUMS")).decode().splitlines()
    name = line.split("  ")[1]
    return {n: read(os.path.join(build, n)) for n in ("mousetrap.exe", name, "SHA256SUMS")}


def run(command, cwd, umask=-1, **env):
    """Runs a build step; returns (exit status, everything it printed)."""
    proc = harness.run(command, cwd=cwd, env={**os.environ, **env}, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=300, umask=umask)
    return proc.returncode, proc.stdout


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = cls.enterClassContext(tempfile.TemporaryDirectory(prefix="mousetrap-release-"))
        cls.copy = os.path.join(cls.tmp, "elsewhere")
        shutil.copytree(SOURCE, cls.copy, ignore=shutil.ignore_patterns("build"), symlinks=True)

    def test_rebuilt_elsewhere_later_is_byte_identical(self):
        # Another folder, another time (zip times have a 2 s grain), time zone and umask.
        time.sleep(max(0.0, os.path.getmtime(os.path.join(BUILD, "SHA256SUMS")) + 2.5 - time.time()))
        status, log = run(["cmake", "--workflow", "--preset", "release"], self.copy, umask=0o077,
                          TZ="Asia/Shanghai")
        self.assertEqual(status, 0, log)
        rebuilt = release_files(os.path.join(self.copy, "build", "win32"))
        for name, content in release_files(BUILD).items():
            with self.subTest(name):
                self.assertEqual(rebuilt[name], content)

    def test_archive_and_checksum(self):
        (line,) = read(os.path.join(BUILD, "SHA256SUMS")).decode().splitlines()
        digest, name = line.split("  ")
        archive = os.path.join(BUILD, name)
        self.assertRegex(name, r"^mousetrap-\d+\.\d+\.\d+-win32\.zip$")
        self.assertEqual(hashlib.sha256(read(archive)).hexdigest(), digest)
        print(f"\n{name}: {os.path.getsize(archive)} bytes, sha256 {digest}", file=sys.stderr)
        top = name[: -len(".zip")]
        epoch = os.environ.get("SOURCE_DATE_EPOCH") or harness.run(
            ["git", "-C", SOURCE, "log", "-1", "--format=%ct"], capture_output=True, text=True,
            check=True).stdout
        stamp = time.gmtime(int(epoch))
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(z.namelist(),
                             [f"{top}/LICENSE", f"{top}/README.md", f"{top}/mousetrap.exe"])
            for member in ("LICENSE", "README.md"):
                self.assertEqual(z.read(f"{top}/{member}"), read(os.path.join(SOURCE, member)))
            self.assertEqual(z.read(f"{top}/mousetrap.exe"), read(os.path.join(BUILD, "mousetrap.exe")))
            for info in z.infolist():  # the commit's time, to zip's 2 s grain
                self.assertEqual(info.date_time[:5], tuple(stamp[:5]))
                self.assertLessEqual(0, stamp.tm_sec - info.date_time[5], 1)

    def test_signing(self):
        keys = os.path.join(self.tmp, "bob's keys")  # a quote in the path
        os.mkdir(keys)
        harness.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=mousetrap test signer", "-keyout", "key.pem", "-out",
                        "cert.pem", "-addext", "extendedKeyUsage=codeSigning"],
                       cwd=keys, check=True, capture_output=True, timeout=60)
        harness.run(["openssl", "pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem",
                        "-out", "key.p12", "-passout", "env:MOUSETRAP_SIGNING_PASSWORD"],
                       cwd=keys, check=True, capture_output=True, timeout=60,
                       env={**os.environ, "MOUSETRAP_SIGNING_PASSWORD": PASSWORD})
        harness.run(["openssl", "pkcs12", "-export", "-inkey", "key.pem", "-in", "cert.pem",
                     "-out", "open.p12", "-passout", "pass:"], cwd=keys, check=True, timeout=60)
        signed = os.path.join(self.tmp, "signed")
        shutil.copytree(self.copy, signed, ignore=shutil.ignore_patterns("build"), symlinks=True)
        build = os.path.join(signed, "build", "win32")
        exe = os.path.join(build, "mousetrap.exe")

        # (key, password, time-stamp server, what the build says): all but "Signed" leave no exe.
        for key, password, server, message in [
            (os.path.join(keys, "missing.p12"), PASSWORD, "", "missing.p12 (MOUSETRAP_SIGNING_KEY) does not exist"),
            (os.path.join(keys, "open.p12"), "", "", "Signed"),
            (os.path.join(keys, "key.p12"), PASSWORD, "http://127.0.0.1:9/", "Authenticode timestamping failed"),
            (os.path.join(keys, "key.p12"), "wrong", "", "Failed to parse PKCS#12 file"),
        ]:
            with self.subTest(message):
                configured = run(["cmake", "--preset", "win32", f"-DMOUSETRAP_SIGNING_KEY={key}",
                                  f"-DMOUSETRAP_TIMESTAMP_URL={server}"], signed)
                self.assertEqual(configured[0], 0, configured[1])
                status, log = run(["cmake", "--build", "--preset", "win32"], signed,
                                  MOUSETRAP_SIGNING_PASSWORD=password)
                self.assertEqual((status == 0, os.path.exists(exe)), (message == "Signed",) * 2)
                self.assertIn(message, " ".join(log.split()))

        # Stand-ins first on PATH note every command line while they run, then run the real ones.
        standins, seen = os.path.join(self.tmp, "standins"), os.path.join(self.tmp, "seen")
        os.mkdir(standins)
        for name, real in (("osslsigncode", shutil.which("osslsigncode")), ("sh", "/bin/sh")):
            harness.write_script(os.path.join(standins, name), "#!/bin/sh\nfor f in /proc/[0-9]*/"
                                 f"cmdline; do printf '%s\\n' \"$(tr '\\0' ' ' <$f)\"; done >>"
                                 f"{shlex.quote(seen)} 2>/dev/null\nexec {shlex.quote(real)} \"$@\"\n")
        status, log = run(["cmake", "--workflow", "--preset", "release"], signed,
                          MOUSETRAP_SIGNING_PASSWORD=PASSWORD, PATH=f"{standins}:{os.environ['PATH']}")
        self.assertEqual(status, 0, log)
        verified = harness.run(["osslsigncode", "verify", "-CAfile", os.path.join(keys, "cert.pem"),
                                   "-in", exe], capture_output=True, text=True, timeout=60)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        unsigned = os.path.join(self.tmp, "unsigned.exe")
        harness.run(["osslsigncode", "remove-signature", "-in", exe, "-out", unsigned],
                       check=True, capture_output=True, timeout=60)
        self.assertEqual(read(unsigned), read(os.path.join(BUILD, "mousetrap.exe")))
        print(f"\nsigned mousetrap.exe: {os.path.getsize(exe)} bytes, unsigned "
              f"{os.path.getsize(unsigned)} bytes", file=sys.stderr)
        # The archive carries the signed file, which still passes the executable checks.
        files = release_files(build)
        archive = next(n for n in files if n.endswith(".zip"))
        with zipfile.ZipFile(os.path.join(build, archive)) as z:
            self.assertEqual(z.read(f"{archive[:-4]}/mousetrap.exe"), files["mousetrap.exe"])
        checks = harness.run([sys.executable, os.path.join(harness.HERE, "test_executable.py"),
                                 exe, "I386", archive[len("mousetrap-"):-len("-win32.zip")]],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(checks.returncode, 0, checks.stderr)
        # The password is in no command line, cache or log.
        commands = read(seen).decode(errors="replace").splitlines()
        self.assertIn(f"/bin/sh {standins}/osslsigncode sign ", "\n".join(commands))
        self.assertEqual([command for command in commands if PASSWORD in command], [])
        for path in ("CMakeCache.txt", "build.ninja", ".ninja_log"):
            self.assertNotIn(PASSWORD, read(os.path.join(build, path)).decode(errors="replace"))
        self.assertNotIn(PASSWORD, log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
