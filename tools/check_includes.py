#!/usr/bin/env python3
"""Checks that every #include runs the way the layers allow.

The sources sit in one folder per layer under src/ (gltf/read and gltf/write
are layers of their own inside gltf/), the contracts that tests, fuzz targets
and benchmarks use in the same folders under include/meshfold/. Each layer's
src/LAYER/contents.h says, near its top:

    // May include: common, image.
    // Libraries: <stb_image.h>.          (optional: outside headers it may use)
    // System headers: any.               (the platform layer alone)

and lists every file of the layer. This script reads those lines and every
#include of src/, include/, tests/, bench/ and fuzz/, and fails, naming the
file and the line, when
  - a layer includes a layer its contents.h does not allow, or a header it
    does not list among its libraries;
  - a header outside the C++ standard library (a system's own, such as
    <unistd.h> or <windows.h>) is included outside the platform layer (the
    tests, which drive processes and files, may use them);
  - a contract under include/ includes a header that sits beside its code
    (the tests could not compile it), or a test, fuzz target or benchmark
    does;
  - the allowed directions, or the includes themselves, form a loop between
    folders;
  - a file of a layer is missing from its contents.h, or contents.h names a
    file that is not there.

Usage: python3 tools/check_includes.py [ROOT]     (ROOT: the repository)
       python3 tools/check_includes.py --self-test
Exit status 0 when everything holds, 1 with one line per fault otherwise.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

# The C++ standard library's headers, and the C headers it carries.
STANDARD = set("""
algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono
cinttypes climits clocale cmath codecvt compare complex concepts condition_variable coroutine
csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque
exception execution expected filesystem format forward_list fstream functional future
initializer_list iomanip ios iosfwd iostream istream iterator latch limits list locale map memory
memory_resource mutex new numbers numeric optional ostream queue random ranges ratio regex
scoped_allocator semaphore set shared_mutex source_location span sstream stack stdexcept
stop_token streambuf string string_view syncstream system_error thread tuple type_traits
typeindex typeinfo unordered_map unordered_set utility valarray variant vector version
""".split())

SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
MAY_INCLUDE = re.compile(r"^//\s*May include:\s*(.*?)\.?\s*$")
LIBRARIES = re.compile(r"^//\s*Libraries:\s*(.*?)\.?\s*$")
SYSTEM = re.compile(r"^//\s*System headers:\s*any\.?\s*$")


class Layer:
    def __init__(self, name):
        self.name = name
        self.allowed = None  # the layers it may include, None until read
        self.libraries = set()
        self.system = False
        self.listed = set()  # file names contents.h lists


def layer_folders(root):
    """Every folder under src/ that holds a contents.h, as a layer name."""
    names = []
    src = os.path.join(root, "src")
    for folder, _, files in os.walk(src):
        if "contents.h" in files:
            names.append(os.path.relpath(folder, src).replace(os.sep, "/"))
    return sorted(names)


def read_layer(root, name, faults):
    layer = Layer(name)
    path = os.path.join(root, "src", name, "contents.h")
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    for number, line in enumerate(lines):
        m = MAY_INCLUDE.match(line)
        if m:
            # The list ends with a full stop, perhaps on a later comment line.
            text = line.split(":", 1)[1].strip()
            while not text.endswith(".") and number + 1 < len(lines) and lines[number + 1].startswith("//"):
                number += 1
                text += " " + lines[number][2:].strip()
            words = [w.strip() for w in text.rstrip(".").split(",")]
            layer.allowed = {w for w in words if w and w != "nothing"}
            continue
        m = LIBRARIES.match(line)
        if m:
            layer.libraries = {w.strip().strip("<>") for w in m.group(1).split(",") if w.strip()}
            continue
        if SYSTEM.match(line):
            layer.system = True
            continue
        # The table of contents: a comment line whose first word is a file name.
        m = re.match(r"^//\s+(\S+\.(?:h|cpp))\b", line)
        if m:
            layer.listed.add(m.group(1))
    if layer.allowed is None:
        faults.append(f"src/{name}/contents.h: no 'May include:' line")
        layer.allowed = set()
    return layer


def layer_of(relpath, layers):
    """The layer a file of src/ or include/meshfold/ belongs to (the deepest
    layer folder it sits in), or None."""
    parts = relpath.split("/")
    if parts[0] == "src":
        inner = parts[1:-1]
    elif parts[:2] == ["include", "meshfold"]:
        inner = parts[2:-1]
    else:
        return None
    for n in range(len(inner), 0, -1):
        name = "/".join(inner[:n])
        if name in layers:
            return name
    return None


def resolve(root, including, quoted, name):
    """The repository path an #include names, or None for an outside header."""
    if not quoted:
        return None
    here = os.path.dirname(including)
    for candidate in (os.path.join(here, name), os.path.join("include", name),
                      os.path.join("src", name)):
        if os.path.isfile(os.path.join(root, candidate)):
            return os.path.normpath(candidate).replace(os.sep, "/")
    return None


def source_files(root, top):
    found = []
    for folder, _, files in os.walk(os.path.join(root, top)):
        for f in files:
            if f.endswith(SOURCE_SUFFIXES):
                found.append(os.path.relpath(os.path.join(folder, f), root).replace(os.sep, "/"))
    return sorted(found)


def find_loop(graph):
    """A loop in {node: set(nodes)} as a list of nodes, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                loop = visit(nxt, path)
                if loop:
                    return loop
        path.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            loop = visit(node, [])
            if loop:
                return loop
    return None


def check(root):
    faults = []
    names = layer_folders(root)
    layers = {n: read_layer(root, n, faults) for n in names}
    for layer in layers.values():
        for other in sorted(layer.allowed - set(layers)):
            faults.append(f"src/{layer.name}/contents.h: 'May include:' names {other}, which is no layer")
    loop = find_loop({n: l.allowed & set(layers) for n, l in layers.items()})
    if loop:
        faults.append("the allowed directions form a loop: " + " -> ".join(loop))

    # Every file of a layer is in its table of contents, and only those.
    for name, layer in layers.items():
        present = set()
        for top in (f"src/{name}", f"include/meshfold/{name}"):
            folder = os.path.join(root, top)
            if os.path.isdir(folder):
                for f in os.listdir(folder):
                    if f.endswith(SOURCE_SUFFIXES) and f != "contents.h":
                        present.add(f)
        for f in sorted(present - layer.listed):
            faults.append(f"src/{name}/contents.h: does not list {f}")
        for f in sorted(layer.listed - present):
            faults.append(f"src/{name}/contents.h: lists {f}, which is not in the layer")

    used = {n: set() for n in layers}
    for top in ("src", "include", "tests", "bench", "fuzz"):
        for path in source_files(root, top):
            mine = layer_of(path, layers)
            outside_lib = top in ("tests", "bench", "fuzz")
            if top in ("src", "include") and mine is None:
                faults.append(f"{path}: in no layer (its folder has no contents.h)")
                continue
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    quoted, name = m.group(1) == '"', m.group(2)
                    closing = '"' if quoted else ">"
                    where = f"{path}:{number}: #include {m.group(1)}{name}{closing}"
                    target = resolve(root, path, quoted, name)
                    if target is None:
                        if quoted and not outside_lib:
                            faults.append(f"{where}: no such file in src/ or include/")
                        elif not quoted:
                            check_outside(where, name, mine, layers, outside_lib, faults)
                        continue
                    theirs = layer_of(target, layers)
                    if outside_lib:
                        if target.startswith("src/"):
                            faults.append(f"{where}: a test, fuzz target or benchmark uses only "
                                          f"the contracts under include/, and {target} is not one")
                        continue
                    if theirs is None:
                        faults.append(f"{where}: {target} is in no layer")
                        continue
                    if path.startswith("include/") and target.startswith("src/"):
                        faults.append(f"{where}: a contract under include/ includes {target}, "
                                      f"which sits beside its code")
                    if theirs == mine:
                        continue
                    used[mine].add(theirs)
                    if theirs not in layers[mine].allowed:
                        allowed = ", ".join(sorted(layers[mine].allowed)) or "nothing"
                        faults.append(f"{where}: {mine} may not include {theirs} "
                                      f"({mine} may include: {allowed})")
    loop = find_loop(used)
    if loop:
        faults.append("the includes form a loop between folders: " + " -> ".join(loop))
    return faults


def check_outside(where, name, mine, layers, outside_lib, faults):
    """An #include <...>: the standard library anywhere, a system's own
    header in the platform layer alone, a library where its layer lists it;
    tests, fuzz targets and benchmarks may use any."""
    if name in STANDARD:
        return
    if outside_lib:
        return  # tests drive processes and files with whatever the system offers
    layer = layers[mine]
    if name in layer.libraries or layer.system:
        return
    faults.append(f"{where}: {mine} may use the standard library"
                  + (f" and {', '.join(sorted(layer.libraries))}" if layer.libraries else "")
                  + f"; {name} is neither (a system's own header belongs in the platform layer)")


def self_test():
    """Plants one fault of each kind in a copy of a tiny tree and checks that
    each is found, and that the clean tree passes."""
    base = tempfile.mkdtemp(prefix="check-includes-")
    try:
        def write(rel, text):
            path = os.path.join(base, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)

        write("src/low/contents.h", "// May include: nothing.\n//   low.cpp  x\n//   low.h  x\n")
        write("include/meshfold/low/low.h", "#pragma once\n#include <cstdint>\n")
        write("src/low/low.cpp", '#include "meshfold/low/low.h"\n')
        write("src/high/contents.h", "// May include: low.\n//   high.cpp  x\n//   high.h  x\n")
        write("src/high/high.h", '#pragma once\n#include "meshfold/low/low.h"\n')
        write("src/high/high.cpp", '#include "high/high.h"\n#include <vector>\n')
        write("tests/low_test.cpp", '#include "meshfold/low/low.h"\n#include <gtest/gtest.h>\n')
        if check(base):
            return ["the clean tree fails: " + "; ".join(check(base))]

        plants = [
            ("src/low/low.cpp", '#include "high/high.h"\n', "low may not include high"),
            ("src/high/high.cpp", "#include <unistd.h>\n", "unistd.h is neither"),
            ("include/meshfold/low/low.h", '#include "high/high.h"\n', "beside its code"),
            ("tests/low_test.cpp", '#include "high/high.h"\n', "only the contracts"),
            ("src/low/extra.cpp", "", "does not list extra.cpp"),
        ]
        problems = []
        for rel, line, expected in plants:
            path = os.path.join(base, rel)
            before = open(path, encoding="utf-8").read() if os.path.exists(path) else None
            with open(path, "a", encoding="utf-8") as f:
                f.write(line)
            found = check(base)
            if not any(expected in fault for fault in found):
                problems.append(f"planted '{line.strip() or rel}' in {rel}: not found ({found})")
            if before is None:
                os.remove(path)
            else:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(before)
        # A loop in the allowed directions.
        write("src/low/contents.h", "// May include: high.\n//   low.cpp  x\n//   low.h  x\n")
        if not any("loop" in fault for fault in check(base)):
            problems.append("a loop in the allowed directions is not found")
        return problems
    finally:
        shutil.rmtree(base)


def main():
    if sys.argv[1:] == ["--self-test"]:
        problems = self_test()
        for p in problems:
            print(p)
        print("include check self-test: " + ("failed" if problems else "every planted fault found"))
        return 1 if problems else 0
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    faults = check(os.path.abspath(root))
    for fault in faults:
        print(fault)
    if faults:
        print(f"include check: {len(faults)} fault(s)")
        return 1
    print("include check: every include runs the way the layers allow")
    return 0


if __name__ == "__main__":
    sys.exit(main())
