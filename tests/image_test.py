#!/usr/bin/python3
"""Checks a built tolvane.exe as Windows will load it: a GUI image for its
architecture whose entry point is the program's own start-up, which imports
exactly the functions it calls, each bound by name at load time, and whose
resources are its version information and its application manifest; hardened (ASLR with relocations,
DEP, terminal-server aware, no writable section at all; no SEH on i686, the
whole 64-bit address range for ASLR and unwind data for each function on
x86_64), in two sections, the base relocations at the end of the code, at
most 9216 bytes on i686 and 10240 on x86_64, with a right checksum, and free
of anything that differs from build to build.

With --check, tolvane-check.exe instead: a console image of at most 64 KiB,
hardened alike, with the same manifest and its own version information, free
of anything build-specific.

usage: image_test.py i686|x86_64 tolvane.exe tolvane.map <source dir> <build dir>
       image_test.py --check i686|x86_64 tolvane-check.exe <source dir> <build dir>
"""
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pefile

EXPECTED_IMPORTS = {
    "ADVAPI32.dll": {"OpenProcessToken", "AllocateAndInitializeSid", "CreateRestrictedToken",
                     "GetTokenInformation", "SetTokenInformation", "CreateProcessAsUserA", "FreeSid"},
    "KERNEL32.dll": {"GetCommandLineA", "GetCommandLineW", "GetACP", "WideCharToMultiByte", "FormatMessageA",
                     "IsDBCSLeadByte", "GetStartupInfoA", "GetModuleFileNameA", "GetCurrentThreadId",
                     "GetCurrentProcess", "GetLastError",
                     "WaitForSingleObject", "GetExitCodeProcess", "LocalAlloc", "LocalFree",
                     "K32EnumProcesses", "OpenProcess", "QueryFullProcessImageNameA", "CreateFileA",
                     "GetFileInformationByHandle", "CloseHandle", "ExitProcess"},
    "USER32.dll": {"GetActiveWindow", "MessageBoxA", "wsprintfA", "GetProcessWindowStation",
                   "GetUserObjectInformationA", "GetThreadDesktop"},
}
DLL_FLAGS = {
    "DYNAMIC_BASE": 0x0040,
    "NX_COMPAT": 0x0100,
    "TERMINAL_SERVER_AWARE": 0x8000,
}
# Per architecture: machine, optional-header magic, the one further flag,
# the type of its base relocations, and the most bytes the image may take:
# headers, .text (with the relocations) and .rsrc each in whole 512-byte
# blocks. /single's look through the running processes puts .text at 7156
# of 7168 bytes on i686 and 8180 of 8192 on x86_64, one block past 9728 on
# x86_64. The version information puts .rsrc at 1480 of 1536 bytes.
ARCHITECTURES = {
    "i686": ("IMAGE_FILE_MACHINE_I386", 0x10B, {"NO_SEH": 0x0400}, 3, 9216),   # HIGHLOW
    "x86_64": ("IMAGE_FILE_MACHINE_AMD64", 0x20B, {"HIGH_ENTROPY_VA": 0x0020}, 10, 10240),   # DIR64
}
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
# The manifest, element by element: (namespace, name, attributes, text) and
# the children, in order; nothing else may be in it.
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
SETTINGS_2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"
MANIFEST = (ASM_V1, "assembly", {"manifestVersion": "1.0"}, None, [
    (ASM_V3, "trustInfo", {}, None, [
        (ASM_V3, "security", {}, None, [
            (ASM_V3, "requestedPrivileges", {}, None, [
                (ASM_V3, "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"},
                 None, [])])])]),
    (ASM_V3, "application", {}, None, [
        (ASM_V3, "windowsSettings", {}, None, [
            (SETTINGS_2019, "activeCodePage", {}, "UTF-8", [])])])])


def element_tree(element):
    namespace, name = element.tag[1:].split("}")
    text = (element.text or "").strip() or None
    return (namespace, name, dict(element.attrib), text, [element_tree(e) for e in element])


failures = []


def check(ok, what, saw):
    if not ok:
        failures.append(f"{what}: saw {saw}")


def check_unwind_table(pe, image_path, map_path):
    """x86_64: the exception directory lists, in order and without overlap,
    one entry for each function of the image, found by name in the map and
    as the target of a direct call, each with its unwind data in .text."""
    text = pe.sections[0]
    start, end = text.VirtualAddress, text.VirtualAddress + text.Misc_VirtualSize
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
    check(start <= directory.VirtualAddress and directory.VirtualAddress + directory.Size <= end
          and directory.Size % 12 == 0 and directory.Size > 0,
          "exception directory inside .text", (hex(directory.VirtualAddress), directory.Size))
    entries = [(e.struct.BeginAddress, e.struct.EndAddress, e.struct.UnwindData)
               for e in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])]
    check(len(entries) == directory.Size // 12, "every entry read", len(entries))
    previous_end = start
    for begin, finish, unwind in entries:
        check(previous_end <= begin < finish <= end, "entries in order, inside .text",
              (hex(begin), hex(finish)))
        check(start <= unwind < end, "unwind data inside .text", hex(unwind))
        previous_end = finish

    # Functions by name: the symbols the map lists in code (.text) input
    # sections, which the import libraries' stubs are not, once discarded.
    # Calls are read only where code is (the code input sections), not in
    # the constants and import tables .text also holds, whose bytes can look
    # like one.
    base = pe.OPTIONAL_HEADER.ImageBase
    functions, section, code = set(), None, []
    with open(map_path) as f:
        for line in f:
            heading = re.match(r"^ (\.\S+)(?:\s+0x([0-9a-f]+)\s+0x([0-9a-f]+))?", line)
            if heading:
                section = heading.group(1)
                if section == ".text" and heading.group(2):
                    begin = int(heading.group(2), 16) - base
                    code.append((begin, begin + int(heading.group(3), 16)))
            symbol = re.match(r"^\s+0x([0-9a-f]+)\s+[A-Za-z_][^=]*$", line)
            if symbol and section == ".text":
                functions.add(int(symbol.group(1), 16) - base)
    disassembly = subprocess.run(["x86_64-w64-mingw32-objdump", "-d", "--no-show-raw-insn", image_path],
                                 capture_output=True, text=True).stdout
    for at, target in re.findall(r"^\s*([0-9a-f]+):\s+call\s+0x([0-9a-f]+)", disassembly, re.MULTILINE):
        if any(begin <= int(at, 16) - base < finish for begin, finish in code):
            functions.add(int(target, 16) - base)
    functions = {f for f in functions if start <= f < end}
    beginnings = {begin for begin, _, _ in entries}
    check(len(functions) > 3, "functions found (precondition)", len(functions))
    check(functions <= beginnings, "an unwind entry for each function",
          sorted(hex(f) for f in functions - beginnings))


def check_version_information(pe, source_dir, build_dir, names=("tolvane", "Starts a program without administrator "
                                                                                  "rights")):
    """The version information, as Explorer's Details tab and Windows'
    publisher rules read it: the CMake project's version, fixed and in the
    strings, one U.S. English Unicode string table, the copyright line of
    LICENSE."""
    with open(os.path.join(build_dir, "VERSION")) as f:
        version = f.read().strip()
    with open(os.path.join(source_dir, "LICENSE")) as f:
        copyright_line = next(line.strip() for line in f if line.startswith("Copyright "))
    fixed = pe.VS_FIXEDFILEINFO[0] if getattr(pe, "VS_FIXEDFILEINFO", None) else None
    numbers = [int(part) for part in version.split(".")] + [0]
    packed = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
    check(fixed is not None and (fixed.FileVersionMS, fixed.FileVersionLS) == packed and
          (fixed.ProductVersionMS, fixed.ProductVersionLS) == packed,
          "fixed file and product version " + version,
          fixed and (hex(fixed.FileVersionMS), hex(fixed.FileVersionLS)))
    check(fixed is not None and (fixed.FileFlags, fixed.FileOS, fixed.FileType) == (0, 0x40004, 1),
          "a release, for Windows NT, an application", fixed and (fixed.FileFlags, hex(fixed.FileOS),
                                                                  fixed.FileType))
    tables, translations = [], []
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            tables.append((table.LangID, {k.decode(): v.decode() for k, v in table.entries.items()}))
        for var in getattr(info, "Var", []):
            translations.append(var.entry)
    expected = {"FileDescription": names[1], "FileVersion": version, "InternalName": names[0],
                "LegalCopyright": copyright_line, "OriginalFilename": names[0] + ".exe", "ProductName": "Tolvane",
                "ProductVersion": version}
    check(tables == [(b"040904B0", expected)], "one string table, U.S. English and Unicode, its strings",
          tables)
    check(translations == [{b"Translation": "0x0409 0x04b0"}], "one translation", translations)


def resources_of(pe):
    """[(type, id, language, data)] of the image's resources."""
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return [(rtype.id, rid.id, lang.id, pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size))
            for rtype in (root.entries if root else []) for rid in rtype.directory.entries
            for lang in rid.directory.entries]


def finish(pe, image, image_path, arch, source_dir, build_dir):
    """Nothing that changes from one build to the next; then the verdict."""
    check(pe.FILE_HEADER.TimeDateStamp == 0, "no link timestamp", pe.FILE_HEADER.TimeDateStamp)
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root:
        check(root.struct.TimeDateStamp == 0, "no resource timestamp", root.struct.TimeDateStamp)
    for path in {source_dir, build_dir, os.path.realpath(source_dir), os.path.realpath(build_dir)}:
        check(path.encode() not in image, "build path not in the image", path)
    for failure in failures:
        print("FAIL", failure)
    print(f"{image_path} ({arch}, {len(image)} bytes): {len(failures)} failed checks")
    return 1 if failures else 0


def check_companion(arch, image_path, source_dir, build_dir):
    """tolvane-check.exe: console, at most 64 KiB, hardened, the manifest
    and its own version information, nothing build-specific."""
    with open(image_path, "rb") as f:
        image = f.read()
    pe = pefile.PE(data=image)
    check(len(image) <= 65536, "at most 65536 bytes", len(image))
    check(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"], "console subsystem",
          pe.OPTIONAL_HEADER.Subsystem)
    for name, bit in {**DLL_FLAGS, **ARCHITECTURES[arch][2]}.items():
        if name != "NO_SEH":
            check(pe.OPTIONAL_HEADER.DllCharacteristics & bit, name, hex(pe.OPTIONAL_HEADER.DllCharacteristics))
    manifests = [data for kind, _, _, data in resources_of(pe) if kind == 24]
    check(len(manifests) == 1 and element_tree(ElementTree.fromstring(manifests[0])) == MANIFEST,
          "tolvane.exe's manifest", len(manifests))
    check_version_information(pe, source_dir, build_dir, ("tolvane-check", "Reads back what Tolvane promises"))
    return finish(pe, image, image_path, arch, source_dir, build_dir)


def main(arch, image_path, map_path, source_dir, build_dir):
    machine, magic, arch_flags, relocation_type, max_size = ARCHITECTURES[arch]
    with open(image_path, "rb") as f:
        image = f.read()
    pe = pefile.PE(data=image)

    check(len(image) <= max_size, "at most %d bytes" % max_size, len(image))

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

    resources = resources_of(pe)
    check([r[:3] for r in resources] == [(16, 1, 1033), (24, 1, 1033)],
          "two resources: version information and manifest, each id 1, 1033", [r[:3] for r in resources])
    manifests = [r[3] for r in resources if r[0] == 24]
    if manifests:
        try:
            seen = element_tree(ElementTree.fromstring(manifests[0]))
        except ElementTree.ParseError as error:
            seen = "not XML: %s" % error
        check(seen == MANIFEST, "manifest: asInvoker, uiAccess false, UTF-8 code page, nothing else",
              seen)
    check_version_information(pe, source_dir, build_dir)

    # Hardening.
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit in {**DLL_FLAGS, **arch_flags}.items():
        check(flags & bit, name, hex(flags))
    check(not pe.FILE_HEADER.Characteristics & 0x0001, "relocations not stripped",
          hex(pe.FILE_HEADER.Characteristics))
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    text = pe.sections[0]
    check(relocations.Size > 8 and text.VirtualAddress <= relocations.VirtualAddress and
          relocations.VirtualAddress + relocations.Size == text.VirtualAddress + text.Misc_VirtualSize,
          "a base relocation table, at the end of .text", (hex(relocations.VirtualAddress), relocations.Size))
    # Each entry of the architecture's one type (or padding), and each
    # address it fixes inside .text, where the code and its constants are.
    fixed = [(entry.type, entry.rva) for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
             for entry in block.entries if entry.type != 0]
    check(fixed and all(kind == relocation_type and text.VirtualAddress <= rva < relocations.VirtualAddress
                        for kind, rva in fixed), "every relocation of its type, in the code",
          [(kind, hex(rva)) for kind, rva in fixed][:8])
    names = [section.Name.rstrip(b"\0").decode() for section in pe.sections]
    check(names == [".text", ".rsrc"], "two sections", names)
    for name, section in zip(names, pe.sections):
        check(not section.Characteristics & SCN_MEM_WRITE, name + " not writable",
              hex(section.Characteristics))
    for index, what in ((0, "exports"), (6, "debug directory"),
                        (9, "TLS"), (10, "load configuration"), (13, "delay imports")):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        check(entry.VirtualAddress == 0 and entry.Size == 0, "no " + what,
              (hex(entry.VirtualAddress), entry.Size))

    # No frame of a page or more: the image has no stack probes, so a frame
    # that size could step past the stack's guard page.
    objdump = {"i686": "i686-w64-mingw32-objdump", "x86_64": "x86_64-w64-mingw32-objdump"}[arch]
    disassembly = subprocess.run([objdump, "-d", "--no-show-raw-insn", image_path],
                                 capture_output=True, text=True).stdout
    frames = [int(size, 16) for size in re.findall(r"\bsub\s+\$0x([0-9a-f]+),%[er]sp", disassembly)]
    check(frames and max(frames) < 4096, "every frame under a page", max(frames or [0]))

    exception = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
    if arch == "i686":
        check(exception.VirtualAddress == 0 and exception.Size == 0, "no exception table",
              (hex(exception.VirtualAddress), exception.Size))
    else:
        check_unwind_table(pe, image_path, map_path)

    # The checksum Windows would compute for the file as it stands.
    check(pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum(), "PE checksum",
          (hex(pe.OPTIONAL_HEADER.CheckSum), hex(pe.generate_checksum())))

    return finish(pe, image, image_path, arch, source_dir, build_dir)


if __name__ == "__main__":
    sys.exit(check_companion(*sys.argv[2:6]) if sys.argv[1] == "--check" else main(*sys.argv[1:6]))
