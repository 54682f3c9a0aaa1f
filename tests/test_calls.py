"""Which file of the native program calls which, read from its object files (a use of a function
or a table another file defines): no file calls one that calls back into it, round any circle;
the shared helpers call neither side, and the two sides, watching and locking, meet only in the
start-up sequence."""
import collections
import re
import subprocess
import sys
import unittest

OBJECTS = sys.argv[1:]
del sys.argv[1:]
P = "platform/posix/"
WATCH = rf"{P}(choose_way|wl_idle|wl_compositor|dbus_idle_monitor|x11)\.cpp"
LOCK = rf"{P}lock/.*"
SHARED = rf"{P}(linux|bus|x11_display|x11_xwayland|x11_grab)\.cpp"
START = rf"{P}start_up\.cpp"
# (files, files they never call)
RULES = [(SHARED, WATCH), (SHARED, LOCK), (SHARED, START),
         (LOCK, WATCH), (LOCK, START), (WATCH, LOCK), (WATCH, START)]


def calls():
    defined, used = {}, collections.defaultdict(set)
    for obj in OBJECTS:
        source = re.search(r"\.dir/(?:\./)?(.*)\.o$", obj).group(1)
        for line in subprocess.run(["nm", obj], capture_output=True, text=True,
                                   check=True).stdout.splitlines():
            kind, symbol = line.split()[-2:]
            if kind == "U":
                used[source].add(symbol)
            elif kind in "TDRBVW":
                defined[symbol] = source
    return {source: {defined[s] for s in symbols if defined.get(s, source) != source}
            for source, symbols in used.items()}


class Calls(unittest.TestCase):
    graph = calls()

    def test_no_circle(self):
        seen, path = set(), []

        def walk(source):
            circle = path[path.index(source):] + [source] if source in path else []
            self.assertEqual(circle, [], f"a circle of calls: {' -> '.join(circle)}")
            if source not in seen:
                seen.add(source)
                path.append(source)
                for callee in sorted(self.graph.get(source, ())):
                    walk(callee)
                path.pop()
        for source in sorted(self.graph):
            walk(source)

    def test_sides(self):
        self.assertTrue(any(re.fullmatch(LOCK, f) for f in self.graph), "no lock route read")
        for files, never in RULES:
            for source, callees in self.graph.items():
                if re.fullmatch(files, source):
                    with self.subTest(source=source, never=never):
                        self.assertEqual([c for c in callees if re.fullmatch(never, c)], [])


if __name__ == "__main__":
    unittest.main()
