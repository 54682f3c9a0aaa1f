"""Properties of a Windows executable as built: header, resources, imports and stored texts.

Usage: test_executable.py EXE MACHINE VERSION, where MACHINE is I386 (the released program) or
AMD64 (its x86-64 twin for the tests), both held to the same rules, and VERSION the project's."""
import os
import struct
import sys
import unittest
import xml.etree.ElementTree as ET

import harness

EXE, MACHINE, VERSION = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
if not os.path.exists(EXE):
    harness.skip(f"{EXE} has not been built: run cmake --workflow --preset win32 first")

import pefile  # noqa: E402  (Debian: python3-pefile)

PE = pefile.PE(EXE)
ASM = "{urn:schemas-microsoft-com:asm.v1}"
V3 = "{urn:schemas-microsoft-com:asm.v3}"
(COPYRIGHT,) = [line for line in harness.read(os.path.join(harness.HERE, "..", "LICENSE")).decode()
                .splitlines() if line.startswith("Copyright ")]


def imports():
    return {entry.dll.decode().upper(): {i.name.decode() for i in entry.imports}
            for entry in PE.DIRECTORY_ENTRY_IMPORT}


class Executable(unittest.TestCase):
    def test_header(self):
        opt, dll = PE.OPTIONAL_HEADER, pefile.DLL_CHARACTERISTICS
        reloc = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        for name, actual, expected in [
            ("machine", PE.FILE_HEADER.Machine, pefile.MACHINE_TYPE[f"IMAGE_FILE_MACHINE_{MACHINE}"]),
            ("subsystem", opt.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]),
            ("subsystem version", (opt.MajorSubsystemVersion, opt.MinorSubsystemVersion), (6, 0)),
            ("OS version", (opt.MajorOperatingSystemVersion, opt.MinorOperatingSystemVersion), (6, 0)),
            ("DYNAMIC_BASE", bool(opt.DllCharacteristics & dll["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]), True),
            ("NX_COMPAT", bool(opt.DllCharacteristics & dll["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]), True),
            ("relocation table present", reloc.Size > 0, True),
            ("time stamp", PE.FILE_HEADER.TimeDateStamp, 0),
        ]:
            with self.subTest(name):
                self.assertEqual(actual, expected)
        # An Authenticode signature, appended after the image, is not counted: its size is the
        # certificate chain's.
        signature = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]].Size
        size = os.path.getsize(EXE) - signature
        print(f"\n{EXE}: {size} bytes, and a signature of {signature}", file=sys.stderr)
        self.assertLessEqual(size, 16 * 1024)

    def test_resources_a_version_and_a_manifest_asking_as_invoker(self):
        found = []
        for rtype in PE.DIRECTORY_ENTRY_RESOURCE.entries:
            for rid in rtype.directory.entries:
                for lang in rid.directory.entries:
                    found.append((rtype.id, rid.id, lang.data.struct))
        self.assertEqual([(t, i) for t, i, _ in found], [(pefile.RESOURCE_TYPE["RT_VERSION"], 1),
                                                         (pefile.RESOURCE_TYPE["RT_MANIFEST"], 1)])
        data = found[1][2]
        root = ET.fromstring(PE.get_data(data.OffsetToData, data.Size))
        self.assertEqual(root.tag, ASM + "assembly")
        tags = sorted(element.tag.split("}")[1] for element in root.iter())
        self.assertEqual(tags, ["assembly", "requestedExecutionLevel", "requestedPrivileges",
                                "security", "trustInfo"])
        level = root.find(f"{V3}trustInfo/{V3}security/{V3}requestedPrivileges/{V3}requestedExecutionLevel")
        self.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})

    def test_version_information(self):
        fixed, (major, minor, patch) = PE.VS_FIXEDFILEINFO[0], map(int, VERSION.split("."))
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                          fixed.ProductVersionLS), (major << 16 | minor, patch << 16) * 2)
        tables = {table.LangID.decode(): {k.decode(): v.decode() for k, v in table.entries.items()}
                  for info in PE.FileInfo[0] for table in getattr(info, "StringTable", [])}
        (var,) = [var for info in PE.FileInfo[0] for var in getattr(info, "Var", [])]
        value = PE.__data__[var.get_file_offset() + 32:][:var.ValueLength]  # after "Translation"
        self.assertEqual(list(struct.iter_unpack("<HH", value)), [(0x0804, 1200), (0x0409, 1200)])
        same = {"FileVersion": VERSION, "ProductVersion": VERSION, "ProductName": "mousetrap",
                "InternalName": "mousetrap", "OriginalFilename": "mousetrap.exe",
                "LegalCopyright": COPYRIGHT}
        print(f"version information: {tables}", file=sys.stderr)
        for lang, description in [("080404b0", "鼠标一动就锁定工作站"),
                                  ("040904b0", "Locks the workstation when the mouse moves")]:
            with self.subTest(lang):
                self.assertEqual(tables.pop(lang), {**same, "FileDescription": description})
        self.assertEqual(tables, {})

    def test_imports_only_system_dlls(self):
        found = imports()
        print("imports: " + "; ".join(f"{dll}: {', '.join(sorted(names))}"
                                       for dll, names in sorted(found.items())), file=sys.stderr)
        self.assertEqual(set(found), {"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL"})
        for dll, names in [("KERNEL32.DLL", {"Sleep", "GetStdHandle", "WriteConsoleW",
                                             "GetSystemDirectoryA"}),
                           ("USER32.DLL", {"GetCursorPos"}),
                           ("MSVCRT.DLL", {"printf", "system", "exit"})]:
            with self.subTest(dll):
                self.assertLessEqual(names, found[dll])
        self.assertNotIn("LockWorkStation", found["USER32.DLL"])  # the command processor locks

    def test_stored_texts(self):
        with open(EXE, "rb") as f:
            image = f.read()
        for text in [b'\\rundll32.exe" user32.dll,LockWorkStation"\0',  # after the system folder
                     b"\xBF\xAA\xCA\xBC\n\0",
                     "鼠标位置获取失败\0".encode("utf-16-le")]:
            with self.subTest(text):
                self.assertEqual(image.count(text), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
