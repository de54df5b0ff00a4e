#!/usr/bin/python3
"""Checks a built tolvane.exe as Windows will load it: a GUI image for its
architecture whose entry point is the program's own start-up, which imports
exactly the functions it calls, each bound by name at load time, and whose
only resource is the application manifest; hardened (ASLR with relocations,
DEP, terminal-server aware, no section both writable and executable; no SEH
on i686, the whole 64-bit address range for ASLR on x86_64), at most 4096
bytes, and free of anything that differs from build to build.

usage: image_test.py i686|x86_64 tolvane.exe tolvane.map <source dir> <build dir>
"""
import os
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
MAX_SIZE = 4096
DLL_FLAGS = {
    "DYNAMIC_BASE": 0x0040,
    "NX_COMPAT": 0x0100,
    "TERMINAL_SERVER_AWARE": 0x8000,
}
# Per architecture: machine, optional-header magic, and the one further flag.
ARCHITECTURES = {
    "i686": ("IMAGE_FILE_MACHINE_I386", 0x10B, {"NO_SEH": 0x0400}),
    "x86_64": ("IMAGE_FILE_MACHINE_AMD64", 0x20B, {"HIGH_ENTROPY_VA": 0x0020}),
}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
MANIFEST = (b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            b'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"/>\n')

failures = []


def check(ok, what, saw):
    if not ok:
        failures.append(f"{what}: saw {saw}")


def main(arch, image_path, map_path, source_dir, build_dir):
    machine, magic, arch_flags = ARCHITECTURES[arch]
    with open(image_path, "rb") as f:
        image = f.read()
    pe = pefile.PE(data=image)

    check(len(image) <= MAX_SIZE, "at most %d bytes" % MAX_SIZE, len(image))

    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE[machine],
          "machine is " + machine, hex(pe.FILE_HEADER.Machine))
    check(pe.OPTIONAL_HEADER.Magic == magic, "optional header magic", hex(pe.OPTIONAL_HEADER.Magic))
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

    # Hardening.
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit in {**DLL_FLAGS, **arch_flags}.items():
        check(flags & bit, name, hex(flags))
    check(not pe.FILE_HEADER.Characteristics & 0x0001, "relocations not stripped",
          hex(pe.FILE_HEADER.Characteristics))
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    check(relocations.VirtualAddress != 0 and relocations.Size > 8, "a base relocation table",
          (hex(relocations.VirtualAddress), relocations.Size))
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        both = SCN_MEM_EXECUTE | SCN_MEM_WRITE
        check(section.Characteristics & both != both, name + " not writable and executable",
              hex(section.Characteristics))
    for index, what in ((0, "exports"), (3, "exception table"), (6, "debug directory"),
                        (9, "TLS"), (10, "load configuration"), (13, "delay imports")):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        check(entry.VirtualAddress == 0 and entry.Size == 0, "no " + what,
              (hex(entry.VirtualAddress), entry.Size))

    # Nothing that changes from one build to the next.
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link timestamp", pe.FILE_HEADER.TimeDateStamp)
    if root:
        check(root.struct.TimeDateStamp == 0, "no resource timestamp", root.struct.TimeDateStamp)
    for path in {source_dir, build_dir, os.path.realpath(source_dir), os.path.realpath(build_dir)}:
        check(path.encode() not in image, "build path not in the image", path)

    for failure in failures:
        print("FAIL", failure)
    print(f"{image_path} ({arch}, {len(image)} bytes): {len(failures)} failed checks")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:6]))
