#!/usr/bin/env python3
"""The include check against a small tree and layer table of its own."""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import check_layers  # noqa: E402

TABLE = ("qvex_platform\tplatform\t0\t\n"
         "qvex_state_core\tstate\t10\tqvex_platform\n"
         "qvex_log\tlog\t20\tqvex_state_core\n"
         "qvex_engine\tengine\t40\tqvex_log\n"
         "qvex_state_hosts\tstate/hosts\t60\tqvex_engine\n")

# File, the line in it, and whether the check lets it pass.
ROWS = [
    ("engine/a.cpp", '#include "log/x.h"', True),
    ("engine/a.cpp", '#include "state/y.h"', True),  # through log
    ("engine/a.cpp", '#include "engine/b.h"', True),
    ("log/a.cpp", '#include "engine/x.h"', False),
    ("state/a.cpp", '#include "state/hosts/x.h"', False),
    ("state/hosts/a.cpp", '#include "state/x.h"', True),
    ("state/hosts/a.cpp", '#include "platform/x.h"', True),
    ("ui/a.cpp", '#include "state/hosts/x.h"', True),
    ("log/a_test.cpp", '#include "tests/support/x.h"', True),
    ("log/a.cpp", '#include "tests/support/x.h"', False),
    ("log/a.cpp", "#include <unistd.h>", False),
    ("ui/a.cpp", "#include <sys/socket.h>", False),
    ("log/a_test.cpp", "#include <unistd.h>", True),
    ("platform/a.cpp", "#include <unistd.h>", True),
    ("engine/a.cpp", "#include <QString>", False),
    ("ui/a.cpp", "#include <QString>", True),
]


def problems_for(file: str, line: str) -> list[str]:
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder)
        (root / "layers.txt").write_text(TABLE)
        path = root / file
        path.parent.mkdir(parents=True)
        path.write_text(line + "\n")
        return check_layers.check(root, check_layers.read_table(root / "layers.txt"))


class CheckLayers(unittest.TestCase):
    def test_rows(self):
        for file, line, passes in ROWS:
            with self.subTest(file=file, line=line):
                problems = problems_for(file, line)
                self.assertEqual(problems == [], passes, problems)

    def test_a_problem_names_both_libraries(self):
        self.assertEqual(problems_for("log/a.cpp", '#include "engine/x.h"'),
                         ["log/a.cpp:1: engine/x.h: log/ is qvex_log (layer 20), "
                          "which does not link qvex_engine (layer 40)"])


if __name__ == "__main__":
    unittest.main()
