# The station's settings, from the environment:
#   TAVRIN_STATION_FIRMWARE  the firmware file (default: examples/demo.bin)
#   TAVRIN_STATION_IDS       APPVID:APPPID:BOOTVID:BOOTPID in hex (default abcd:1234:abcd:1000)
#   TAVRIN_STATION_DEVICES   the simulated units on the fixture (default 4); 0: the real
#                            devices on this machine's USB ports
#   TAVRIN_STATION_RECORD    the record file lines are appended to (default: in pytest's
#                            temporary folder)
import os
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
try:
    import tavrin  # the installed module (python3-tavrin)
except ImportError:
    # From the source tree: the module beside the examples, the library of build/.
    root = HERE.parents[1]
    os.environ.setdefault("TAVRIN_LIBRARY", str(root / "build" / "lib" / "libtavrin.so.0"))
    sys.path.insert(0, str(root / "python"))
    import tavrin


class Station:
    """What one run of the station works with."""

    def __init__(self, firmware, app, boot, simulate, record):
        self.firmware = firmware
        self.app = app
        self.boot = boot
        self.simulate = simulate
        self.record = record


@pytest.fixture
def station(tmp_path):
    ids = os.environ.get("TAVRIN_STATION_IDS", "abcd:1234:abcd:1000").split(":")
    app_vid, app_pid, boot_vid, boot_pid = (int(value, 16) for value in ids)
    firmware = Path(os.environ.get("TAVRIN_STATION_FIRMWARE", HERE.parent / "demo.bin"))
    devices = int(os.environ.get("TAVRIN_STATION_DEVICES", "4"))
    record = Path(os.environ.get("TAVRIN_STATION_RECORD", tmp_path / "station-record.txt"))
    simulation = None
    if devices > 0:
        # A fixture of simulated units of the file's model, one per port.
        simulation = tavrin.Simulation()
        model = tavrin.inspect(firmware).model
        for unit in range(devices):
            simulation.add_device(model, (app_vid, app_pid), (boot_vid, boot_pid),
                                  port=f"fixture-{unit + 1}", serial=f"UNIT{unit + 1:04d}")
    yield Station(firmware, (app_vid, app_pid), (boot_vid, boot_pid), simulation, record)
    if simulation is not None:
        simulation.close()
