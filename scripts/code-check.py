#!/usr/bin/env python3
"""What the code is held to beyond what the compiler checks: no function in
src/ over 80 lines, each window's TForm1 (its header and source, Qt's and
Win32's) at most 600 lines, kelvara-log's main.cpp at most 150, and front
ends that include the core only through acquisition/ (the windows also
trend/ and form/, kelvara-log also metrics/, the endpoint it serves). A
function is counted from the line of its opening brace at the start of a
line to the line of its closing brace there, as the formatter writes
function bodies. Prints the offenders and exits 1."""
import pathlib
import sys

MAX_FUNCTION = 80
LIMITS = {("src/gui/Form1.h", "src/gui/Form1.cpp"): 600, ("src/win32/Form1.h", "src/win32/Form1.cpp"): 600,
          ("src/cli/main.cpp",): 150}
# A front end's folder and the layers of the core it may include.
FRONT_ENDS = {"cli": ("acquisition/", "metrics/"), "gui": ("acquisition/", "trend/", "form/", "gui/"),
              "win32": ("acquisition/", "trend/", "form/", "win32/")}


def layer_includes(root):
    for folder, allowed in FRONT_ENDS.items():
        for path in sorted((root / "src" / folder).glob("*.[ch]*")):
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                if line.startswith('#include "') and "/" in line and not line[10:].startswith(allowed):
                    yield f"{path.relative_to(root)}:{number}: {line} (a front end includes acquisition/)"


def long_functions(path):
    lines = path.read_text(encoding="utf-8").splitlines()
    start = None
    for number, line in enumerate(lines, 1):
        if line == "{":
            start = number
        elif line == "}" and start is not None:
            if number - start + 1 > MAX_FUNCTION:
                yield start - 1, lines[start - 2].strip(), number - start + 1
            start = None


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    failed = False
    for path in sorted((root / "src").rglob("*.cpp")) + sorted((root / "src").rglob("*.h")):
        for line, signature, length in long_functions(path):
            print(f"{path.relative_to(root)}:{line}: {length} lines: {signature}")
            failed = True
    for problem in layer_includes(root):
        print(problem)
        failed = True
    for files, limit in LIMITS.items():
        total = sum(len((root / f).read_text(encoding="utf-8").splitlines()) for f in files)
        if total > limit:
            print(f"{' + '.join(files)}: {total} lines, at most {limit}")
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
