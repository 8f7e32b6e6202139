# The tavrin module of this source tree over the libtavrin of a build
# (TAVRIN_BUILD, default build/), and the files and ids the tests share.
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAVRIN_BUILD", ROOT / "build")).resolve()
os.environ.setdefault("TAVRIN_LIBRARY", str(BUILD / "lib" / "libtavrin.so.0"))
sys.path.insert(0, str(ROOT / "python"))

APP = (0xABCD, 0x1234)
BOOT = (0xABCD, 0x1000)
EXAMPLES = ROOT / "examples"


@pytest.fixture
def demo():
    """The raw example image (model TVR-100)."""
    return EXAMPLES / "demo.bin"


@pytest.fixture
def bench():
    import tavrin
    with tavrin.Simulation() as simulation:
        yield simulation


@pytest.fixture
def long_image(tmp_path):
    """The example image with 8 KiB more: 520 chunks, long enough to stop
    an update halfway when every exchange takes a few milliseconds."""
    path = tmp_path / "long.bin"
    path.write_bytes((EXAMPLES / "demo.bin").read_bytes() + bytes(range(256)) * 32)
    return path
