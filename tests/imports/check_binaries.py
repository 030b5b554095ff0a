#!/usr/bin/env python3
"""Checks that each shipped binary loads and runs on Windows 2000, from the file alone, and that
it carries the marks a binary scanner looks for first.

Wine exports every function of every Windows version, so no run under Wine can show this.
Usage: check_binaries.py WINDOWS_2000_EXPORTS.tsv BINARY...
"""
import re
import struct
import subprocess
import sys

import pefile  # Debian's python3-pefile: the marks are read by a PE reader we did not write

I386 = 0x14C
PE32 = 0x10B
GUI = 2
DLL = 0x2000
WINDOWS_2000 = (5, 0)
IMPORTS, TLS, DELAY_IMPORTS = 1, 9, 13
# The list may also name functions that came later, with where that is documented; those fail.
UP_TO_WINDOWS_2000 = re.compile(r"^Windows (95|98|NT|2000)\b")

# SSE and SSE2 (an xmm register or the SSE-only control, cache and fence instructions), and MMX:
# none is in the i686 baseline. The i686 cmov and fcomi are.
NOT_I686 = re.compile(r"%x?mm\d|\b(ldmxcsr|stmxcsr|[slm]fence|clflush|movnti|maskmovq|prefetch\w*|emms)\b")


def load_exports(path):
    exports = {}
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.rstrip("\n").split("\t")
        if len(fields) != 4 or not all(f.strip() for f in fields):
            sys.exit(f"{path}:{number}: want dll, function, minimum and where documented, tab-separated")
        exports[(fields[0].lower(), fields[1])] = fields[2]
    return exports


class Image:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", self.data, optional)[0]
        self.os_version = struct.unpack_from("<HH", self.data, optional + 40)
        self.subsystem_version = struct.unpack_from("<HH", self.data, optional + 48)
        (self.subsystem,) = struct.unpack_from("<H", self.data, optional + 68)
        count = struct.unpack_from("<I", self.data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", self.data, optional + 96 + 8 * i) for i in range(count)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", self.data, table + 40 * i + 8) for i in range(sections)]

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """(dll, function or #ordinal) for every imported function."""
        rva, _ = self.directory(IMPORTS)
        while rva:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not name:
                break
            dll = self.text(name)
            entry = lookup or thunks
            while self.u32(entry):
                value = self.u32(entry)
                yield dll, f"#{value & 0xFFFF}" if value & 0x80000000 else self.text(value + 2)
                entry += 4
            rva += 20

    def static_tls_bytes(self):
        """Bytes of the static thread-local template; 0 when there is none."""
        rva, _ = self.directory(TLS)
        if not rva:
            return 0
        start, end, _, _, zero_fill = struct.unpack_from("<IIIII", self.data, self.offset(rva))
        return end - start + zero_fill if end > start else zero_fill


# The libraries each shipped binary may import. The installer's are ones every supported Windows
# takes only from its system directory (known libraries, and what they import), since it runs
# with administrator rights from wherever it was downloaded to; the module's and the console
# host's are what they need. A new import fails here until it is added, with that thought.
ALLOWED_LIBRARIES = {
    "KOVPatch.exe": {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "shlwapi.dll", "user32.dll"},
    "kelvrim.dll": {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "oleaut32.dll", "pdh.dll", "user32.dll",
                    "version.dll"},
    "sphost.exe": {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "pdh.dll", "shlwapi.dll", "user32.dll",
                   "version.dll"},
}

# The marks: the image may be loaded anywhere (ASLR), its data is never run (DEP), and no handler
# outside a SafeSEH table can be made to run for an exception (a 32-bit image needs the table, or
# the mark that it registers no handler at all).
DYNAMIC_BASE = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]
NX_COMPAT = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]
NO_SEH = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_SEH"]


def missing_marks(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]])
    marks = pe.OPTIONAL_HEADER.DllCharacteristics
    load_config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    safe_seh = load_config is not None and getattr(load_config.struct, "SEHandlerTable", 0) != 0
    missing = []
    if not marks & DYNAMIC_BASE:
        missing.append("no ASLR mark (DYNAMIC_BASE)")
    if not marks & NX_COMPAT:
        missing.append("no DEP mark (NX_COMPAT)")
    if not marks & NO_SEH and not safe_seh:
        missing.append("neither a SafeSEH table nor the mark that it registers no SEH handler (NO_SEH)")
    return missing


# The mingw-w64 run-time brackets the template with a marker byte at each end, so an image
# without thread-local variables still has a template of a few bytes of padding.
RUNTIME_TLS_MARKERS = 4


def check(path, exports):
    name = path.rsplit("/", 1)[-1]
    image = Image(path)
    failures = []
    if image.machine != I386 or image.magic != PE32:
        failures.append(f"not PE32 for i386 (machine {image.machine:#x}, magic {image.magic:#x})")
    for what, version in (("operating-system", image.os_version), ("subsystem", image.subsystem_version)):
        if tuple(version) > WINDOWS_2000:
            failures.append(f"{what} version {version[0]}.{version[1]} is above 5.0: Windows 2000 refuses it")
    is_dll = bool(image.characteristics & DLL)
    if is_dll and image.subsystem != GUI:
        failures.append(f"a DLL marked for subsystem {image.subsystem}; Windows DLLs are marked GUI (2)")
    if image.directory(DELAY_IMPORTS)[0]:
        failures.append("has delay-loaded imports, which this check does not read")

    imported = list(image.imports())
    allowed = ALLOWED_LIBRARIES.get(name)
    if allowed is not None:
        for dll in sorted({dll.lower() for dll, _ in imported} - allowed):
            failures.append(f"imports from {dll}, which is not among the libraries {name} may import")
    for missing in missing_marks(path):
        failures.append(f"has {missing}")
    for dll, function in imported:
        minimum = exports.get((dll.lower(), function))
        if minimum is None:
            failures.append(f"imports {function} from {dll}, which is not in the list of Windows 2000 exports")
        elif not UP_TO_WINDOWS_2000.match(minimum):
            failures.append(f"imports {function} from {dll}, which needs {minimum}")

    tls = image.static_tls_bytes()
    if is_dll and tls > RUNTIME_TLS_MARKERS:
        failures.append(f"has static thread-local data ({tls} bytes), which does not work in a DLL "
                        "loaded with LoadLibrary before Windows Vista")

    disassembly = subprocess.run(["i686-w64-mingw32-objdump", "-d", "--no-show-raw-insn", path],
                                 check=True, capture_output=True, text=True).stdout
    for line in disassembly.splitlines():
        if NOT_I686.search(line.split(":", 1)[-1]):
            failures.append(f"has an instruction beyond i686 (SSE, SSE2 or MMX): {line.strip()}")
            break

    for failure in failures:
        print(f"FAILED: {name} {failure}")
    dlls = sorted({dll.lower() for dll, _ in imported})
    print(f"{name}: PE32 i386, OS {image.os_version[0]}.{image.os_version[1]}, subsystem "
          f"{image.subsystem} {image.subsystem_version[0]}.{image.subsystem_version[1]}, "
          f"static TLS {tls} bytes, {len(imported)} imports from {', '.join(dlls)}")
    return not failures


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    exports = load_exports(sys.argv[1])
    results = [check(path, exports) for path in sys.argv[2:]]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
