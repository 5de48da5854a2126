"""Where a child interpreter finds corvane: the same place this process found it.

Tests that run code in a fresh interpreter (to hide an optional package, or to
watch a process exit) put this directory first on the child's PYTHONPATH, so
the child imports the same build as the test run: the source tree after an
in-place developer build, the installed package in CI.
"""

from pathlib import Path

import corvane

CORVANE_ROOT = str(Path(corvane.__file__).resolve().parent.parent)
