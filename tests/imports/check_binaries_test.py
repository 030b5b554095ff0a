#!/usr/bin/env python3
"""The Windows 2000 check catches each thing that keeps a binary from running there, and the
shipped build's link fails when a threads library would be pulled in.

Usage: check_binaries_test.py CHECK EXPORTS.tsv FIXTURE_SOURCE SHIPPED_BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

SHIPPED_CC = "i686-w64-mingw32-gcc-win32"
AS_SHIPPED = ["-Os", "-shared", "-static", "-s", "-Wl,--subsystem,windows", "-Wl,--dynamicbase,--nxcompat,--no-seh"]

# (variant, extra build flags, what the check must say, as a pattern; None: it passes). A variant
# named like a shipped binary is built under that name.
CASES = [
    ("as shipped", [], None),
    ("kelvrim.dll with a library it may not import", ["-DNEW_LIBRARY", "-lgdi32"],
     r"imports from gdi32\.dll, which is not among the libraries kelvrim\.dll may import"),
    ("no ASLR mark", ["-Wl,--disable-dynamicbase"], r"has no ASLR mark"),
    ("no DEP mark", ["-Wl,--disable-nxcompat"], r"has no DEP mark"),
    ("no SEH mark", ["-Wl,--disable-no-seh"], r"has neither a SafeSEH table nor the mark"),
    ("a Vista import", ["-DVISTA_IMPORT"], r"imports GetTickCount64 from KERNEL32\.dll"),
    ("static thread-local data", ["-DSTATIC_TLS"], r"has static thread-local data"),
    ("SSE2 code", ["-DFLOATING_POINT", "-msse2", "-mfpmath=sse"], r"has an instruction beyond i686.*%xmm"),
    ("one MMX instruction", ["-DMMX"], r"has an instruction beyond i686.*%mm0"),
    ("a console DLL", ["-Wl,--subsystem,console"], r"a DLL marked for subsystem 3"),
    ("a Vista header", ["-Wl,--major-os-version,6", "-Wl,--major-subsystem-version,6"],
     r"operating-system version 6\.0 is above 5\.0"),
    ("a Vista subsystem version alone", ["-Wl,--major-subsystem-version,6"],
     r"subsystem version 6\.0 is above 5\.0"),
]

THREADED = "#include <stdexcept>\nint main(int argc, char**) { if (argc > 9) throw std::runtime_error(\"\"); }\n"


def run(command):
    return subprocess.run(command, capture_output=True, text=True)


def main():
    check, exports, source, shipped = sys.argv[1:5]
    no_threads = os.path.join(shipped, "no-threads-library")
    failed = 0
    with tempfile.TemporaryDirectory() as work:
        for variant, flags, expected in CASES:
            named = variant.split(" ")[0]
            image = os.path.join(work, variant.replace(" ", "_") + ".dll")
            if named.endswith(".dll"):
                os.makedirs(os.path.join(work, variant.replace(" ", "_")))
                image = os.path.join(work, variant.replace(" ", "_"), named)
            built = run([SHIPPED_CC, *AS_SHIPPED, source, *flags, "-o", image])  # libraries after the source
            if built.returncode:
                print(f"FAILED: {variant}: the fixture does not build\n{built.stderr}")
                failed += 1
                continue
            checked = run([sys.executable, check, exports, image])
            said = checked.stdout
            ok = checked.returncode == 0 and "FAILED" not in said if expected is None else (
                checked.returncode == 1 and re.search(expected, said) is not None)
            print(f"{'ok' if ok else 'FAILED'}: {variant}\n  " + said.strip().replace("\n", "\n  "))
            failed += not ok

        # The -posix runtime's exception support needs a threads library; the shipped build
        # offers only empty ones, so linking it must fail rather than add imports. That holds in
        # an existing tree too: real archives put in their place are gone after the next build.
        for name in ("libpthread.a", "libwinpthread.a"):
            real = run(["i686-w64-mingw32-gcc-posix", f"-print-file-name={name}"]).stdout.strip()
            shutil.copyfile(real, os.path.join(no_threads, name))
        rebuilt = run(["cmake", "--build", shipped])
        if rebuilt.returncode:
            print(f"FAILED: the shipped build does not build again\n{rebuilt.stdout}{rebuilt.stderr}")
            failed += 1
        program = os.path.join(work, "threaded.cpp")
        with open(program, "w") as out:
            out.write(THREADED)
        linked = run(["i686-w64-mingw32-g++-posix", "-static", f"-L{no_threads}", program,
                      "-o", os.path.join(work, "threaded.exe")])
        ok = linked.returncode != 0 and "undefined reference to `pthread_" in linked.stderr
        print(f"{'ok' if ok else 'FAILED'}: a threads library fails the shipped link")
        failed += not ok

    total = len(CASES) + 1
    print(f"{total - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
