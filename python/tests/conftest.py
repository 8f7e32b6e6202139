# Fixtures of the tests of the tavrin module (the paths: testbed.py).
import pytest

from testbed import EXAMPLES


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
