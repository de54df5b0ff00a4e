#!/usr/bin/python3
"""Checks the built tolvane.exe as Windows will load it: a 32-bit GUI image
whose entry point is the program's own start-up, which imports exactly the
functions it calls, each bound by name at load time, and whose only resource
is the application manifest.

usage: image_test.py tolvane.exe tolvane.map
"""
import re
import sys

import pefile

EXPECTED_IMPORTS = {
    "ADVAPI32.dll": {"OpenProcessToken", "AllocateAndInitializeSid", "CreateRestrictedToken",
                     "CreateProcessAsUserA", "FreeSid"},
    "KERNEL32.dll": {"GetCommandLineA", "IsDBCSLeadByte", "GetStartupInfoA", "GetCurrentProcess",
                     "GetLastError", "ExitProcess"},
    "USER32.dll": {"GetActiveWindow", "MessageBoxA"},
}
MANIFEST = (b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\n')

failures = []


def check(ok, what, saw):
    if not ok:
        failures.append(f"{what}: saw {saw}")


def main(image_path, map_path):
    pe = pefile.PE(image_path)

    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
          "machine is i386", hex(pe.FILE_HEADER.Machine))
    check(pe.OPTIONAL_HEADER.Magic == 0x10B, "PE32 image", hex(pe.OPTIONAL_HEADER.Magic))
    check(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"],
          "GUI subsystem", pe.OPTIONAL_HEADER.Subsystem)

    # The entry point is the program's own start-up function, found by name
    # in the linker's map: a mis-resolved entry symbol would start elsewhere.
    with open(map_path) as f:
        found = re.search(r"^\s+0x([0-9a-f]+)\s+_?TolvaneStart\s*$", f.read(), re.M)
    check(found is not None, "TolvaneStart in the map", "no such symbol")
    if found:
        entry = pe.OPTIONAL_HEADER.ImageBase + pe.OPTIONAL_HEADER.AddressOfEntryPoint
        check(entry == int(found.group(1), 16), "entry point is TolvaneStart",
              f"entry {entry:#x}, TolvaneStart {found.group(1)}")

    imports = {}
    for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = imports.setdefault(dll.dll.decode(), set())
        for symbol in dll.imports:
            check(symbol.name is not None, f"{dll.dll.decode()} import by name",
                  f"ordinal {symbol.ordinal}")
            if symbol.name:
                names.add(symbol.name.decode())
    check(imports == EXPECTED_IMPORTS, "imports", sorted((k, sorted(v)) for k, v in imports.items()))
    check(not hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), "no delay-loaded imports", "some")

    resources = []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for rtype in root.entries if root else []:
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                resources.append((rtype.id, rid.id, lang.id, data))
    check([r[:3] for r in resources] == [(24, 1, 1033)], "one resource: manifest, id 1, 1033",
          [r[:3] for r in resources])
    if resources:
        check(resources[0][3] == MANIFEST, "manifest text", resources[0][3])

    for failure in failures:
        print("FAIL", failure)
    print(f"{image_path}: {len(failures)} failed checks")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
