#!/usr/bin/env python3
"""Judges the Windows capture under Wine against two peers, on a program it starts:

- winedbg (attach, bt all, detach), the Windows debugger of Wine, for frames: every frame with
  a return address on the stack, in order, and its name where both give one;
- llvm-symbolizer --inlining on the module files, for lines: every line the capture prints for
  a module with DWARF, inlined calls included, is the one the debug information gives.

Threads whose frames stand at other addresses in the two looks (winedbg's attach moves a thread
now and then) are passed over; at least one thread is compared. Names winedbg does not give and
we do (from exports, the symbol table or DWARF DbgHelp left unread) are counted, not failed.

  judge_frames.py CAPTURE_CLI_EXE MODULE_DIR... -- PROGRAM [ARGS...]
Runs under the Wine settings of the caller (WINEPREFIX and the rest); prints figures, exits 1 on
a difference."""
import os
import re
import struct
import subprocess
import sys


def wine_path(path):
    return "Z:" + path.replace("/", "\\") if path.startswith("/") else path


def read_block(stream):
    lines = []
    for line in stream:
        line = line.rstrip("\r\n")
        if line == "----":
            return lines
        lines.append(line)
    raise SystemExit("the capture ended early")


def parse_ours(lines):
    """THREAD tid, then kind, pc, function, file, line, module, lookup offset."""
    stacks, tid = {}, None
    for line in lines:
        if line.startswith("THREAD "):
            tid = int(line.split()[1])
            stacks[tid] = []
            continue
        f = line.split("\t")
        if tid is None or len(f) != 7:
            continue
        stacks[tid].append({"inlined": f[0] == "inline", "pc": int(f[1], 16), "function": f[2],
                            "file": f[3], "line": int(f[4]), "module": f[5],
                            "lookup": int(f[6], 16)})
    return stacks


FRAME = re.compile(r"^\s*(?:=>)?\s*(\d+)\s+0x([0-9a-f]+)\s+(.*)$")


def winedbg_name(rest):
    """The function of "name+0x12(args) [file:line] in module (...)", or "" for "in module"."""
    if rest.startswith("in "):
        return ""
    rest = re.sub(r" in \S+ \(.*\)$", "", rest)
    rest = re.sub(r" \[[^]]*\]$", "", rest)
    if rest.endswith(")"):  # the arguments: the last balanced parentheses
        depth = 0
        for i in range(len(rest) - 1, -1, -1):
            depth += rest[i] == ")"
            depth -= rest[i] == "("
            if depth == 0:
                rest = rest[:i]
                break
    return re.sub(r"\+0x[0-9a-f]+$", "", rest).strip()


def parse_winedbg(text):
    stacks, tid = {}, None
    for line in text.splitlines():
        m = re.match(r"Backtracing for thread ([0-9a-f]+) in process", line)
        if m:
            tid = int(m.group(1), 16)
            stacks[tid] = []
            continue
        m = FRAME.match(line)
        if tid is None or not m:
            continue
        stacks[tid].append({"pc": int(m.group(2), 16), "function": winedbg_name(m.group(3))})
    # winedbg shows inlined calls as frames of their own at the same address: the last of a run
    # is the one with the return address.
    physical = {}
    for tid, frames in stacks.items():
        kept = []
        for frame in frames:
            if kept and kept[-1]["pc"] == frame["pc"]:
                kept[-1] = frame
            else:
                kept.append(frame)
        physical[tid] = kept
    return physical


def comparable(name):
    name = re.sub(r"`anonymous namespace'::|\(anonymous namespace\)::", "", name)
    plain, depth = "", 0
    for c in name:
        depth += c in "<("
        if depth == 0:
            plain += c
        depth -= c in ">)" and depth > 0
    return plain.split("::")[-1].strip()


def image_base(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    return struct.unpack_from("<Q", data, pe + 24 + 24)[0] if magic == 0x20B else \
        struct.unpack_from("<I", data, pe + 24 + 28)[0]


def module_file(name, folders):
    for folder in folders:
        for entry in os.listdir(folder) if os.path.isdir(folder) else []:
            if entry.lower() == name.lower():
                return os.path.join(folder, entry)
    return None


def dwarf_sections(path):
    """Whether the PE file at path carries .debug_info (long section names resolved) and no PDB
    reference: lines of a program with a PDB file are DbgHelp's (llvm-symbolizer reads the PDB
    there and leaves DWARF aside)."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    directories = pe + 24 + (112 if magic == 0x20B else 96)
    debug_rva, debug_size = struct.unpack_from("<II", data, directories + 6 * 8)
    if debug_rva and b"RSDS" in data:  # a CodeView record: the program names its PDB file
        return False
    count = struct.unpack_from("<H", data, pe + 6)[0]
    symbols, nsyms = struct.unpack_from("<II", data, pe + 12)
    optional = struct.unpack_from("<H", data, pe + 20)[0]
    strings = symbols + nsyms * 18
    for i in range(count):
        raw = data[pe + 24 + optional + 40 * i:][:8].rstrip(b"\0")
        if raw.startswith(b"/") and symbols:
            at = strings + int(raw[1:])
            raw = data[at:data.index(b"\0", at)]
        if raw == b".debug_info":
            return True
    return False


def symbolize(path, offsets):
    base = image_base(path)
    query = "".join("0x%x\n" % (base + o) for o in offsets)
    out = subprocess.run(["llvm-symbolizer", "--inlining", "--obj=" + path], input=query,
                         capture_output=True, text=True, timeout=300).stdout
    answers = {}
    for offset, block in zip(offsets, out.split("\n\n")):
        lines = [l for l in block.split("\n") if l]
        chain = []
        for i in range(0, len(lines) - 1, 2):
            place = lines[i + 1].split(":")
            line = int(place[1]) if len(place) > 1 and place[1].isdigit() else 0
            chain.append((os.path.basename(place[0]) if place[0] != "??" else "", line))
        answers[offset] = chain
    return answers


def main():
    args = sys.argv[1:]
    cut = args.index("--")
    cli, folders, program = args[0], args[1:cut], args[cut + 1:]
    folders = folders + [os.path.dirname(program[0])]
    run = subprocess.Popen(["wine", cli, "--run", "--frames", wine_path(program[0])] + program[1:],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, text=True)
    pid = None
    for line in run.stdout:
        if line.startswith("pid "):
            pid = int(line.split()[1])
            break
    if pid is None:
        raise SystemExit("the program did not start")
    run.stdin.write("\n")
    run.stdin.flush()
    ours = parse_ours(read_block(run.stdout))
    debugger = subprocess.run(["winedbg"], input="attach 0x%x\nbt all\ndetach\nquit\n" % pid,
                              capture_output=True, text=True, timeout=300).stdout
    theirs = parse_winedbg(debugger)
    run.stdin.close()
    run.wait(timeout=60)

    failures, compared, only_ours = [], 0, 0
    for tid, frames in sorted(ours.items()):
        physical = [f for f in frames if not f["inlined"]]
        peer = theirs.get(tid)
        if not peer or [f["pc"] for f in peer] != [f["pc"] for f in physical]:
            continue  # it moved between the two looks, or winedbg's walk differs: passed over
        compared += 1
        for i, (a, b) in enumerate(zip(physical, peer)):
            if a["function"] and not b["function"]:
                only_ours += 1
            elif b["function"] and comparable(a["function"]) != comparable(b["function"]):
                failures.append("thread %d #%d 0x%x: ours %r, winedbg %r" %
                                (tid, i, a["pc"], a["function"], b["function"]))
    if compared == 0:
        failures.append("no thread stood at the same addresses in both looks")

    # Lines: each physical frame with the calls inlined there, per module with DWARF.
    groups, printed, agreed = {}, 0, 0
    for tid, frames in ours.items():
        chain = []
        for frame in frames:
            chain.append(frame)
            if not frame["inlined"]:
                groups.setdefault(frame["module"], []).append(chain)
                chain = []
    for module, chains in groups.items():
        path = module_file(module, folders) if module else None
        if not path or not dwarf_sections(path):
            continue
        answers = symbolize(path, sorted({c[-1]["lookup"] for c in chains}))
        for chain in chains:
            truth = answers.get(chain[-1]["lookup"], [])
            for i, frame in enumerate(chain):
                if not frame["line"]:
                    continue
                printed += 1
                want = truth[i] if i < len(truth) else ("", 0)
                if (os.path.basename(frame["file"].replace("\\", "/")), frame["line"]) != want:
                    failures.append("%s+0x%x #%d %s: ours %s:%d, llvm-symbolizer %s:%d" %
                                    (module, frame["lookup"], i, frame["function"],
                                     os.path.basename(frame["file"]), frame["line"], *want))
                else:
                    agreed += 1
    print("[ figures  ] %s: %d threads compared with winedbg, %d names only ours; "
          "%d of %d lines agree with llvm-symbolizer" %
          (os.path.basename(program[0]), compared, only_ours, agreed, printed))
    for failure in failures[:40]:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
