"""The watch loop in virtual time: the program's own code against the scripted platform double.

The double logs each call to a trace file; the C runtime is real, so the banner is read from
standard output, the lock is traced with the outcome the test gives, and the status is the
process's own. A second build has the Windows lock command, whose system call the double traces.
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

import harness

PROGRAM, WINDOWS_PROGRAM, VERSION = sys.argv[1:4]
del sys.argv[1:4]
BANNER = "开始\n".encode("utf-8")
FAILED_TEXT = "鼠标位置获取失败".encode("utf-16-le").hex()
LOCK = "lock"


def run(script, until=8000, args=(), program=PROGRAM, **extra_env):
    """Runs the program; returns (status, standard output bytes, trace lines, then those of
    standard error)."""
    with tempfile.TemporaryDirectory() as tmp:
        trace = os.path.join(tmp, "trace")
        env = {"PATH": tmp, "MOUSETRAP_TRACE": trace, "MOUSETRAP_SCRIPT": script,
               "MOUSETRAP_UNTIL": str(until), **extra_env}
        with open(os.path.join(tmp, "out"), "w+b") as out:
            proc = harness.run([program, *args], stdout=out, stderr=subprocess.PIPE, env=env,
                               timeout=20)
            out.seek(0)
            stdout = out.read()
        with open(trace) as f:
            return proc.returncode, stdout, (f.read() + proc.stderr.decode()).splitlines()


def reads(trace):
    return [line for line in trace if line.startswith("read ")]


class WatchLoop(unittest.TestCase):
    def test_grace_then_banner_then_first_sample_100ms_later(self):
        status, stdout, trace = run("0:5,5", until=7300)
        self.assertEqual(status, 124)  # still watching when the script ends
        self.assertEqual(stdout, BANNER)
        self.assertEqual(trace, [
            "handle -11",                # standard-output handle, taken before main
            "prepare",                   # the platform made ready to watch, in main
            "sleep 7000 at 0 out 0",     # grace: nothing written yet
            "sleep 100 at 7000 out 7",   # banner handed over, then the first interval
            "read at 7100 5 5",
            "sleep 100 at 7100 out 7",
            "read at 7200 5 5",
            "sleep 100 at 7200 out 7",
            "stopped at 7300",
        ])

    def test_motion(self):
        # (case, cursor timeline, reads expected up to and including the one that locks)
        cases = [
            ("reference taken after grace-period motion", "0:1,1 3000:50,60 7150:50,61",
             ["7100 50 60", "7200 50 61"]),
            ("one pixel in x", "0:10,10 7150:11,10", ["7100 10 10", "7200 11 10"]),
            ("one pixel in y", "0:10,10 7250:10,9", ["7100 10 10", "7200 10 10", "7300 10 9"]),
            ("leave and return between samples", "0:10,10 7210:900,900 7290:10,10 7350:10,11",
             ["7100 10 10", "7200 10 10", "7300 10 10", "7400 10 11"]),
            ("negative coordinates", "0:-1920,-1080 7150:-1920,-1079",
             ["7100 -1920 -1080", "7200 -1920 -1079"]),
            ("INT32_MIN to INT32_MAX", "0:-2147483648,2147483647 7150:2147483647,2147483647",
             ["7100 -2147483648 2147483647", "7200 2147483647 2147483647"]),
            ("INT32_MAX to INT32_MIN", "0:0,2147483647 7150:0,-2147483648",
             ["7100 0 2147483647", "7200 0 -2147483648"]),
            ("failed first read gives reference (0, 0)", "0:fail 7150:0,0 7250:0,1",
             ["7100 fail", "7200 0 0", "7300 0 1"]),
            ("a failed read's cycle is not skipped", "0:fail 7150:3,4", ["7100 fail", "7200 3 4"]),
            ("failed reads mid-watch compare the stale record", "0:7,8 7150:fail 7350:7,8 7450:7,9",
             ["7100 7 8", "7200 fail", "7300 fail", "7400 7 8", "7500 7 9"]),
        ]
        for name, script, expected in cases:
            with self.subTest(name):
                status, stdout, trace = run(script)
                self.assertEqual(status, 0)
                self.assertEqual(stdout, BANNER)
                self.assertEqual([line[len("read at "):] for line in reads(trace)], expected)
                last = max(int(read.split()[0]) for read in expected)
                # exactly one command, then the pause, then the end
                self.assertEqual(trace[-2:], [LOCK, f"sleep 100 at {last} out 7"])
                self.assertEqual(trace.count(LOCK), 1)
                failures = sum(read.endswith("fail") for read in expected)
                console = [line for line in trace if line.startswith("console ")]
                self.assertEqual(console, [f"console 0x5700 8 {FAILED_TEXT} written=null reserved=null"]
                                 * failures)

    def test_failed_reads_repeat_the_message_and_never_lock_by_themselves(self):
        status, stdout, trace = run("0:fail", until=7500)
        self.assertEqual(status, 124)
        self.assertEqual(len([line for line in trace if line.startswith("console ")]), 4)
        self.assertNotIn(LOCK, trace)

    def test_lock_command_outcome_sets_exit_status(self):
        # (the lock's outcome: 0 locked, exit status)
        for outcome, expected in ((0, 0), (1, 1)):
            with self.subTest(outcome=outcome):
                status, _, trace = run("0:1,1 7150:2,1", MOUSETRAP_SYSTEM_STATUS=str(outcome))
                self.assertEqual(status, expected)
                self.assertEqual(trace.count(LOCK), 1)
                self.assertEqual(trace[-1], "sleep 100 at 7200 out 7")  # the pause, whatever the outcome

    def test_windows_lock_command_names_the_system_folders_rundll32(self):
        # (system folder or None when it cannot be learned, command status, command run, exit)
        tail = r'\rundll32.exe" user32.dll,LockWorkStation"'
        cases = [
            (r"C:\Windows\system32", 0, r'""C:\Windows\system32' + tail, 0),
            (r"D:\Win dows (x86)\Sys&tem32", 0, r'""D:\Win dows (x86)\Sys&tem32' + tail, 0),
            (r"C:\Windows\system32", 1, r'""C:\Windows\system32' + tail, 1),
            (None, 0, None, 1),
            # The longest folder that fits the 512-byte command line (511 characters and the
            # terminator), and one character more, which runs nothing.
            ("C:\\" + "x" * 464, 0, '""C:\\' + "x" * 464 + tail, 0),
            ("C:\\" + "x" * 465, 0, None, 1),
        ]
        for folder, command_status, command, expected in cases:
            with self.subTest(folder=folder and folder[:24], command_status=command_status):
                env = {"MOUSETRAP_SYSTEM_STATUS": str(command_status)}
                if folder is not None:
                    env["MOUSETRAP_SYSTEM_DIR"] = folder
                status, stdout, trace = run("0:1,1 7150:2,1", program=WINDOWS_PROGRAM, **env)
                self.assertEqual(status, expected)
                self.assertEqual(stdout, "开始\n".encode("gbk"))
                runs = [line[len("system "):] for line in trace if line.startswith("system ")]
                self.assertEqual(runs, [command] if command else [])
                self.assertEqual(trace[-1], "sleep 100 at 7200 out 5")

    def test_command_line(self):
        # (arguments, the grace period in ms; or 0 and a pattern of standard output, or 2 and what
        # the one line on standard error names, no output: nothing traced after the handle)
        usage, nines = r"^Usage: mousetrap \[--grace SECONDS\]\n", "9" * 30
        for args, expected in [
                ([], 7000), (["--grace", "0"], 0), (["--grace", "2"], 2000),
                (["--grace=3600"], 3600000), (["--grace", "9", "--grace=0002"], 2000),
                (["--help"], (0, usage)), (["--grace", "1", "-h", "--bogus"], (0, usage)),
                (["--version"], (0, f"^mousetrap {re.escape(VERSION)}\n$")),
                (["--bogus", "--help"], (2, '"--bogus"')), (["-t", "0", "/?"], (2, '"-t"')),
                (["x" * 4096], (2, "x" * 4096)), (["/?"], (2, '"/?"')),
                (["--grace"], (2, "--grace ")), (["--grace", "3601"], (2, '"3601"')),
                (["--grace", "5x"], (2, '"5x"')), (["--grace=-1"], (2, '"-1"')),
                (["--grace="], (2, '""')), (["--grace", "+5"], (2, '"+5"')),
                (["--grace", nines], (2, nines)), (["--grace", "--help"], (2, '"--help"')),
                (["--grace5"], (2, '"--grace5"')), (["--helpx"], (2, '"--helpx"')), ([""], (2, '""'))]:
            with self.subTest(args=" ".join(args)[:24]):
                if isinstance(expected, int):
                    self.assertEqual(run("0:3,3", until=expected + 200, args=args), (124, BANNER, [
                        "handle -11", "prepare", f"sleep {expected} at 0 out 0",
                        f"sleep 100 at {expected} out 7", f"read at {expected + 100} 3 3",
                        f"sleep 100 at {expected + 100} out 7", f"stopped at {expected + 200}"]))
                    continue
                status, stdout, trace = run("0:3,3", args=args)
                said = trace.pop() + stdout.decode() if status else stdout.decode()
                self.assertEqual((status, trace), (expected[0], ["handle -11"]))
                self.assertRegex(said, expected[1] if status == 0 else f"^mousetrap: .*"
                                 f"{re.escape(expected[1])}.*; see mousetrap --help\\.$")


if __name__ == "__main__":
    unittest.main(verbosity=2)
