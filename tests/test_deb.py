"""The Debian package of the native program: contents, metadata, lintian, the manual page, and
the installed program itself on a private display with a stand-in xdg-screensaver.

Usage: test_deb.py PACKAGE VERSION SOURCE"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness

DEB, VERSION, SOURCE = os.path.abspath(sys.argv.pop(1)), sys.argv.pop(1), sys.argv.pop(1)
harness.require("dpkg-deb", "lintian", "man", "Xvfb", "xdotool", "cmake", "git")
if not os.path.exists(DEB):
    harness.skip(f"{DEB} has not been built: run cmake --workflow --preset deb first")


def output(*command, **kwargs):
    return harness.run(command, check=True, capture_output=True, text=True, timeout=120,
                          **kwargs).stdout


class DebianPackage(unittest.TestCase):
    def test_contents_and_metadata(self):
        fields = dict(line.split(": ", 1) for line in output(
            "dpkg-deb", "-f", DEB, "Package", "Version", "Architecture", "Depends",
            "Recommends", "Section").splitlines())
        print("\n" + output("dpkg-deb", "-I", DEB), file=sys.stderr)
        self.assertEqual({k: fields[k] for k in ("Package", "Version", "Architecture", "Recommends")},
                         {"Package": "mousetrap", "Version": VERSION,
                          "Architecture": output("dpkg", "--print-architecture").strip(),
                          "Recommends": "systemd | xdg-utils"})
        self.assertRegex(fields["Depends"], r"^libc6 \(>= [\d.]+\), libsystemd0 \(>= \d+\), "
                         r"libwayland-client0 \(>= [\d.]+\), libxcb-randr0 \(>= [\d.]+\), libxcb1")
        entries = {line.split()[-1]: line.split()[:2] for line in output("dpkg-deb", "-c", DEB).splitlines()}
        files = {name: entry for name, entry in entries.items() if not name.endswith("/")}
        self.assertEqual({tuple(entry) for name, entry in entries.items() if name.endswith("/")},
                         {("drwxr-xr-x", "root/root")})
        self.assertEqual(files, {
            "./usr/bin/mousetrap": ["-rwxr-xr-x", "root/root"],
            "./usr/share/locale/zh_CN/LC_MESSAGES/mousetrap.mo": ["-rw-r--r--", "root/root"],
            "./usr/share/man/man1/mousetrap.1.gz": ["-rw-r--r--", "root/root"],
            "./usr/share/man/zh_CN/man1/mousetrap.1.gz": ["-rw-r--r--", "root/root"],
            "./usr/share/doc/mousetrap/copyright": ["-rw-r--r--", "root/root"],
            "./usr/share/doc/mousetrap/changelog.gz": ["-rw-r--r--", "root/root"]})

    def test_rebuilt_elsewhere_later_under_another_umask_is_byte_identical(self):
        with tempfile.TemporaryDirectory(prefix="mousetrap-deb-") as tmp:
            copy = os.path.join(tmp, "elsewhere")
            shutil.copytree(SOURCE, copy, ignore=shutil.ignore_patterns("build"), symlinks=True)
            os.utime(os.path.join(copy, "res", "copyright"), (0, 0))  # older than the commit
            time.sleep(max(0.0, os.path.getmtime(DEB) + 1.5 - time.time()))
            build = harness.run(["cmake", "--workflow", "--preset", "deb"], cwd=copy,
                                   umask=0o077 if os.umask(os.umask(0)) != 0o077 else 0o022,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   timeout=300)
            self.assertEqual(build.returncode, 0, build.stdout)
            rebuilt = os.path.join(copy, "build", "deb", os.path.basename(DEB))
            print(f"\n{os.path.basename(DEB)}: {os.path.getsize(DEB)} bytes, sha256 "
                  f"{output('sha256sum', DEB).split()[0]}", file=sys.stderr)
            self.assertEqual(harness.read(rebuilt), harness.read(DEB))

    def test_lintian_reports_no_error_or_warning(self):
        found = harness.run(["lintian", DEB], capture_output=True, text=True, timeout=300)
        print(f"\nlintian: {found.stdout.strip() or '(nothing)'}", file=sys.stderr)
        self.assertEqual([line for line in found.stdout.splitlines() if line[:2] in ("E:", "W:")], [])

    def test_installed_program_and_manual_page(self):
        with tempfile.TemporaryDirectory(prefix="mousetrap-deb-") as root, \
                harness.private_display() as display:
            harness.run(["dpkg", "-x", DEB, root], check=True, timeout=60)
            page = output("man", "-l", os.path.join(root, "usr/share/man/man1/mousetrap.1.gz"),
                          env={**os.environ, "MANWIDTH": "80", "LC_ALL": "C.UTF-8"})
            for heading in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "FILES", "SECURITY"):
                self.assertRegex(page, rf"(?m)^{heading}$")
            for text in ("GetActive", "LockedHint", "xdg-screensaver lock", "Xwayland", "开始",
                         f"mousetrap {VERSION}"):
                self.assertIn(text, page)

            log = os.path.join(root, "lock.log")
            harness.write_script(os.path.join(root, "xdg-screensaver"),
                                 '#!/bin/sh\necho "$*" >> "$LOCK_LOG"\n')
            harness.xdotool(display, "mousemove", "100", "100")
            with open(os.path.join(root, "out"), "w+b") as out:
                tool = harness.start([os.path.join(root, "usr/bin/mousetrap")], stdout=out, env={
                    "PATH": f"{root}:/usr/bin:/bin", "DISPLAY": display, "LOCK_LOG": log,
                    **harness.no_buses(root)})
                try:
                    quiet, _, status = harness.watch_timeline(
                        display, {"installed": tool}, lambda _: os.path.exists(log),
                        lambda _: harness.read(out.name))
                finally:
                    harness.stop([tool])
                out.seek(0)
                self.assertEqual((quiet, status, out.read()), ({"installed": "开始\n".encode()},
                                                               {"installed": 0}, "开始\n".encode()))
            with open(log) as f:
                self.assertEqual(f.read(), "lock\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
