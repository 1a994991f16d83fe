"""The shipped binaries keep their hardening (release.hardening in release.cmake).

    /usr/bin/python3 pe_check.py BIN_DIR

Reads mdsdriver.exe and difxapi_x64.dll in BIN_DIR with Debian's python3-pefile
and fails, one line per fault, when a binary
  - has ASLR (DYNAMIC_BASE), high-entropy ASLR (HIGH_ENTROPY_VA) or NX
    (NX_COMPAT) off;
  - has its base relocations stripped (the loader could not move it);
  - has a section that is both writable and executable;
  - lacks the stack protector: the binaries are stripped, so it is found by
    its code, the failure handler's fast fail (mov ecx, 2; int 0x29 in
    src/hardening/stack_guard.cpp) and the protected functions' calls to it;
  - imports a DLL beyond its list: each only KERNEL32 and the C runtime (the
    call table loads the other system libraries from the system folder), so
    that nothing planted beside them loads.
"""
import sys

import pefile

# The DLLs each binary may import (load-time and delay-load alike).
ALLOWED_IMPORTS = {
    "mdsdriver.exe": {"KERNEL32.dll", "msvcrt.dll"},
    "difxapi_x64.dll": {"KERNEL32.dll", "msvcrt.dll"},
}

FLAGS = {
    "DYNAMIC_BASE": pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"],
    "HIGH_ENTROPY_VA": pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"],
    "NX_COMPAT": pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"],
}
WRITE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]
EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]
RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
BASERELOC = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
# __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE)
STACK_CHECK_FAST_FAIL = bytes.fromhex("b902000000cd29")


def stack_protector_calls(pe):
    """How many direct calls reach the stack check's failure handler (0 without one)."""
    code = [(s.VirtualAddress, s.get_data()) for s in pe.sections if s.Characteristics & EXECUTE]
    functions = [(f.struct.BeginAddress, f.struct.EndAddress) for f in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])]
    handlers = set()
    for base, data in code:
        at = data.find(STACK_CHECK_FAST_FAIL)
        while at >= 0:
            handlers.update(begin for begin, end in functions if begin <= base + at < end)
            at = data.find(STACK_CHECK_FAST_FAIL, at + 1)
    calls = 0
    for base, data in code:
        at = data.find(b"\xe8")
        while 0 <= at <= len(data) - 5:
            target = base + at + 5 + int.from_bytes(data[at + 1 : at + 5], "little", signed=True)
            calls += target in handlers
            at = data.find(b"\xe8", at + 1)
    return calls


def check(path, name):
    pe = pefile.PE(path)
    faults = []
    for flag, bit in FLAGS.items():
        if not pe.OPTIONAL_HEADER.DllCharacteristics & bit:
            faults.append(f"{flag} is off")
    if pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED or pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].Size == 0:
        faults.append("the base relocations are stripped")
    for section in pe.sections:
        if section.Characteristics & WRITE and section.Characteristics & EXECUTE:
            faults.append(f"section {section.Name.rstrip(bytes(1)).decode()} is writable and executable")
    calls = stack_protector_calls(pe)
    if calls == 0:
        faults.append("no stack protector: no call reaches a stack check failure handler")
    imports = getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    names = sorted({entry.dll.decode() for entry in imports}, key=str.lower)
    allowed = {dll.lower() for dll in ALLOWED_IMPORTS[name]}
    extra = [dll for dll in names if dll.lower() not in allowed]
    if extra:
        faults.append(f"imports {' '.join(extra)} beyond {' '.join(sorted(ALLOWED_IMPORTS[name]))}")
    for fault in faults:
        print(f"FAILED: {name}: {fault}", file=sys.stderr)
    if not faults:
        print(f"{name}: DYNAMIC_BASE HIGH_ENTROPY_VA NX_COMPAT, relocations kept, no writable code, "
              f"stack protector ({calls} calls to its failure handler), imports {' '.join(names)}")
    return not faults


def main():
    bin_dir = sys.argv[1]
    results = [check(f"{bin_dir}/{name}", name) for name in ALLOWED_IMPORTS]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
