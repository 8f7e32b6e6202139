# What the tests share: the tavrin module of this source tree over the
# libtavrin of a build (TAVRIN_BUILD, default build/), the example files and
# the ids of the simulated devices. Imported first by conftest.py.
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAVRIN_BUILD", ROOT / "build")).resolve()
os.environ.setdefault("TAVRIN_LIBRARY", str(BUILD / "lib" / "libtavrin.so.0"))
sys.path.insert(0, str(ROOT / "python"))

APP = (0xABCD, 0x1234)
BOOT = (0xABCD, 0x1000)
EXAMPLES = ROOT / "examples"
