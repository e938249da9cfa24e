#!/usr/bin/env python3
"""Checks that every source file includes only what its folder may use.

Usage: check_layers.py SOURCE_ROOT LAYER_TABLE

The layers come from CMake: each qvex_library declares its folder, layer and linked libraries,
and the build writes them to LAYER_TABLE (layers.txt in the build folder), one library a line:
name, folder, layer and linked libraries, separated by tabs. A library's folder may include its
own headers and those of every library it links, directly or through another one. The
programs and tests (ui/, tests/, bench/, fuzz/) sit above every library. Only platform/ and
test code may include headers that one operating system alone has, and only ui/ and shellext/
may include Qt. shellext/ includes nothing of the libraries (its tests may, to compare); its
*_posix.cpp files are its own place for system headers. Prints each offending include and
exits non-zero when there is one.
"""
import pathlib
import re
import sys

# Folders that hold programs and tests rather than a library: they may include any library.
ABOVE_LIBRARIES = ("ui", "tests", "bench", "fuzz")
# The shell extension links nothing of the project's libraries; its own *_posix.cpp files are
# its one place for system calls.
SELF_CONTAINED = "shellext"
# Test code starts real servers and may use the system directly.
TEST_FOLDERS = ("tests", "bench", "fuzz")
SYSTEM_ONLY = re.compile(r"^(sys/|unistd\.h|fcntl\.h|netinet/|arpa/|netdb\.h|poll\.h|"
                         r"pthread\.h|dlfcn\.h|dirent\.h|langinfo\.h|linux/|spawn\.h|pwd\.h)")
QT = re.compile(r"^Q[A-Za-z]|^Qt")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCES = {".h", ".hpp", ".cpp", ".cc"}


class Library:
    def __init__(self, name: str, folder: str, layer: int, links: list[str]):
        self.name = name
        self.folder = folder
        self.layer = layer
        self.links = links


def read_table(path: pathlib.Path) -> dict[str, Library]:
    """The libraries of the table, by folder."""
    libraries = {}
    for line in path.read_text().splitlines():
        if not line.strip():
            continue
        name, folder, layer, links = line.split("\t")
        libraries[folder] = Library(name, folder, int(layer), links.split())
    return libraries


def reachable(library: Library, by_name: dict[str, Library]) -> set[str]:
    """The folders of every library that `library` links, directly or through another."""
    folders = set()
    pending = list(library.links)
    while pending:
        linked = by_name.get(pending.pop())
        if linked is not None and linked.folder not in folders:
            folders.add(linked.folder)
            pending.extend(linked.links)
    return folders


def owner(parts: tuple[str, ...], folders) -> str | None:
    """The deepest of `folders` that holds the path made of `parts`."""
    for depth in range(len(parts) - 1, 0, -1):
        folder = "/".join(parts[:depth])
        if folder in folders:
            return folder
    return None


def check(root: pathlib.Path, libraries: dict[str, Library]) -> list[str]:
    by_name = {library.name: library for library in libraries.values()}
    allowed = {folder: reachable(library, by_name) for folder, library in libraries.items()}
    folders = set(libraries) | set(ABOVE_LIBRARIES) | {SELF_CONTAINED}
    problems = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in SOURCES or not path.is_file():
            continue
        relative = path.relative_to(root)
        top = owner(relative.parts, folders)
        if top is None:
            continue
        is_test = path.stem.endswith("_test") or top in TEST_FOLDERS
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            bracket, name = match.groups()
            where = f"{relative}:{number}: {name}"
            if bracket == "<":
                own_seam = top == SELF_CONTAINED and path.name.endswith("_posix.cpp")
                if SYSTEM_ONLY.match(name) and top != "platform" and not is_test and \
                        not own_seam:
                    problems.append(f"{where}: system-only header outside platform/")
                if QT.match(name) and top.split("/")[0] not in ("ui", "shellext"):
                    problems.append(f"{where}: Qt outside ui/ and shellext/")
                continue
            # A name without a folder is generated beside its source (Qt's "x.moc").
            if "/" not in name:
                continue
            folder = owner(tuple(name.split("/")), folders)
            if top == SELF_CONTAINED:
                # Its tests may hold its readers up against the program's own.
                if folder not in (None, SELF_CONTAINED) and not is_test:
                    problems.append(f"{where}: shellext/ links nothing of the project's libraries")
                continue
            if top in ABOVE_LIBRARIES or folder is None or folder == top or \
                    (is_test and folder == "tests"):
                continue
            if folder not in allowed[top]:
                library, included = libraries[top], libraries.get(folder)
                what = f"{included.name} (layer {included.layer})" if included else f"{folder}/"
                problems.append(f"{where}: {top}/ is {library.name} (layer {library.layer}), "
                                f"which does not link {what}")
    return problems


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[2])
        return 2
    root = pathlib.Path(sys.argv[1]).resolve()
    problems = check(root, read_table(pathlib.Path(sys.argv[2])))
    for problem in problems:
        print(problem)
    print(f"{len(problems)} layering problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
