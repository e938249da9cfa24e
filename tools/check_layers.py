#!/usr/bin/env python3
"""Checks that every source file includes only what its folder may use.

A folder may include its own headers and those of the folders below it. Only platform/
(and the tests, benchmarks and fuzz targets) may include headers that one operating system
alone has, and only ui/ and shellext/ may include Qt. Prints each offending include and exits non-zero when there is one.
"""
import pathlib
import re
import sys

# Folder -> project folders it may include (besides itself).
ALLOWED = {
    "util": set(),
    "platform": set(),
    "state": {"util", "platform"},
    "log": {"util", "platform", "state"},
    "engine": {"util", "platform", "state", "log"},
    "transfer": {"util", "platform", "state", "log", "engine"},
    "sums": {"util", "platform", "state", "log"},
    # The host list and the connect action sit above the engine, in their own library.
    "state/hosts": {"util", "platform", "state", "log", "engine", "transfer"},
    # Start-up and the command line's work sit above every library but the windows.
    "state/startup": {"util", "platform", "state", "log", "engine", "transfer", "sums",
                      "search", "diag", "state/hosts"},
    "search": {"util", "platform", "state", "log", "engine", "transfer"},
    "diag": {"util", "platform", "state", "log", "engine"},
    "ui": {"util", "platform", "state", "log", "engine", "transfer", "sums", "search", "diag",
           "state/hosts", "state/startup"},
    "shellext": set(),
    # Tests, benchmarks and fuzz targets may reach any library and the test support code.
    "tests": None,
    "bench": None,
    "fuzz": None,
}
SYSTEM_ONLY = re.compile(r"^(sys/|unistd\.h|fcntl\.h|netinet/|arpa/|netdb\.h|poll\.h|"
                         r"pthread\.h|dlfcn\.h|dirent\.h|langinfo\.h|linux/|spawn\.h|pwd\.h)")
QT = re.compile(r"^Q[A-Za-z]|^Qt")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCES = {".h", ".hpp", ".cpp", ".cc"}


def check(root: pathlib.Path) -> list[str]:
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCES or not path.is_file():
            continue
        relative = path.relative_to(root)
        top = relative.parts[0]
        if relative.parts[:2] in (("state", "hosts"), ("state", "startup")):
            top = "/".join(relative.parts[:2])
        if top not in ALLOWED or top.startswith("build"):
            continue
        allowed = ALLOWED[top]
        # Tests beside a library may use the test support code.
        is_test = path.stem.endswith("_test")
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, name = match.groups()
            where = f"{relative}:{number}: {name}"
            if bracket == "<":
                # Test support starts real servers and may use the system directly.
                if SYSTEM_ONLY.match(name) and allowed is not None and top != "platform" \
                        and not is_test:
                    problems.append(f"{where}: system-only header outside platform/")
                if QT.match(name) and top not in ("ui", "shellext"):
                    problems.append(f"{where}: Qt outside ui/ and shellext/")
                continue
            # A name without a folder is generated beside its source (Qt's "x.moc").
            if "/" not in name:
                continue
            folder = name.split("/")[0]
            if name.startswith(("state/hosts/", "state/startup/")):
                folder = "/".join(name.split("/")[:2])
            if allowed is None or folder == top or (is_test and folder == "tests"):
                continue
            if folder not in allowed:
                problems.append(f"{where}: {top}/ may not include {folder}/")
    return problems


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = check(root)
    for problem in problems:
        print(problem)
    print(f"{len(problems)} layering problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
