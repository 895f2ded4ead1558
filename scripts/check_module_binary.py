"""Checks that a wheel's module runs on any x86-64 Linux the wheel's tag admits:
it exports only PyInit_tarnwick, needs no C++ runtime of the system, was built
without -march/-mtune, and wider instructions (VEX or EVEX encoded: AVX and up)
come only from the kernel files chosen at run time, and that the walks still
request memory ahead (a compiler may delete prefetch-only helpers unseen).

Usage: check_module_binary.py BUILD_DIR MODULE
BUILD_DIR is the CMake build the wheel came from (with compile_commands.json);
MODULE is the .so taken out of the wheel."""
import json
import re
import shlex
import subprocess
import sys
from pathlib import Path

KERNEL_FILE = re.compile(r"((scan|code)_kernels_\w+|crc32c_sse42)\.cpp$")
ISA_FLAG = re.compile(r"-m(avx|sse[34]|ssse3|fma|f16c|bmi|lzcnt|popcnt|movbe|amx|evex|apx)")
TUNING_FLAG = re.compile(r"-m(arch|tune|cpu)=")
# An instruction line of `objdump -d --no-show-raw-insn` whose mnemonic is VEX or EVEX encoded.
WIDE_INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+v[a-z0-9]+\b", re.M)
FUNCTION_START = re.compile(r"^[0-9a-f]+ <(.+)>:$")
PREFETCH = re.compile(r"^\s*[0-9a-f]+:\s+prefetch", re.M)
# Functions of the linked module whose code must hold prefetch instructions:
# the beams of the default and the fast walk, and the gathering of a list.
PREFETCHING = ("search_base_layer", "fast_beam<false>", "gather_unvisited")
ALLOWED_NEEDED = {"libc.so.6", "libm.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}


def tool(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def functions_with(binary, instruction, *options):
    """Names of the functions whose code holds an instruction the pattern matches."""
    found, current = set(), None
    for line in tool("objdump", "-d", "--no-show-raw-insn", *options, str(binary)).splitlines():
        start = FUNCTION_START.match(line)
        if start:
            current = start.group(1)
        elif current and instruction.match(line):
            found.add(current)
    return found


def functions_with_wide_instructions(binary):
    """Names of the functions whose code holds a VEX or EVEX instruction."""
    return functions_with(binary, WIDE_INSTRUCTION)


def walks_without_prefetch(binary):
    """The walk functions (by demangled name) that hold no prefetch instruction;
    one the compiler inlined into its callers has no code of its own to check,
    but search_base_layer, called from other files, always has."""
    every = tool("nm", "-C", "--defined-only", str(binary))
    prefetching = functions_with(binary, PREFETCH, "-C")
    present = [name for name in PREFETCHING if name in every]
    if PREFETCHING[0] not in present:
        return [PREFETCHING[0]]
    return [name for name in present if not any(name in f for f in prefetching)]


def section(binary, name, out):
    tool("objcopy", "-O", "binary", f"--only-section={name}", str(binary), str(out))
    return out.read_bytes()


def main(build_dir, module):
    build_dir, module = Path(build_dir), Path(module)
    failures = []

    # Flags: no tuning for the build machine anywhere, ISA flags only on kernel files.
    kernel_objects, other_objects = [], []
    for entry in json.loads((build_dir / "compile_commands.json").read_text()):
        flags = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
        name = Path(entry["file"]).name
        tuning = [f for f in flags if TUNING_FLAG.match(f)]
        isa = [f for f in flags if ISA_FLAG.match(f)]
        if tuning:
            failures.append(f"{name} is compiled with {tuning}")
        if isa and not KERNEL_FILE.search(name):
            failures.append(f"{name} is compiled with {isa}, outside the kernel files")
        obj = Path(entry["directory"], entry["output"])
        (kernel_objects if KERNEL_FILE.search(name) else other_objects).append(obj)

    # Code: wide instructions only in kernel objects, and in the linked module
    # only in their own functions (an inline function compiled there and shared
    # with portable code would run wide instructions on any processor).
    for obj in other_objects:
        if functions_with_wide_instructions(obj):
            failures.append(f"{obj.name} holds VEX/EVEX instructions")
    kernel_functions = set()
    for obj in kernel_objects:
        for line in tool("nm", "--defined-only", str(obj)).splitlines():
            _, kind, symbol = line.split(maxsplit=2)
            if kind in "tT":
                kernel_functions.add(symbol)
    built = next(build_dir.glob("tarnwick*.so"))
    wide = functions_with_wide_instructions(built)
    if wide - kernel_functions:
        failures.append(f"VEX/EVEX instructions outside the kernels: {sorted(wide - kernel_functions)}")
    if kernel_objects and not wide:
        failures.append("the module holds no kernel code: the kernel files were not linked")
    unprefetched = walks_without_prefetch(built)
    if unprefetched:
        failures.append(f"no prefetch instruction left in {unprefetched}")
    scratch = build_dir / "text.bin"
    if section(built, ".text", scratch) != section(module, ".text", scratch):
        failures.append(f"{module.name} does not hold the code of {built}")
    scratch.unlink()

    # Interface to the system: one exported name, the C library and libgcc only.
    exported = tool("nm", "-D", "--defined-only", str(module)).split()[2::3]
    if exported != ["PyInit_tarnwick"]:
        failures.append(f"the module exports {exported}")
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", tool("readelf", "-d", str(module))))
    if needed - ALLOWED_NEEDED:
        failures.append(f"the module needs {sorted(needed - ALLOWED_NEEDED)}")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print(f"module: exports only PyInit_tarnwick; needs {sorted(needed)}; "
          f"VEX/EVEX code only in {len(wide)} kernel functions of {len(kernel_objects)} kernel files; "
          f"the walks prefetch")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
