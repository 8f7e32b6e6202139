"""An example production station: updates every unit on the fixture at once
through the tavrin module and records one line per unit.

    pytest examples/station                          # a fixture of 4 simulated units
    TAVRIN_STATION_DEVICES=0 TAVRIN_STATION_FIRMWARE=fw.hex \\
        TAVRIN_STATION_IDS=abcd:1234:abcd:1000 pytest examples/station   # real devices

A record line: time, port, serial, the unit's version before, the file's
model and version, the file's SHA-256, the reason code, the seconds it took.
"""
import datetime

import tavrin


def record_line(result, sha256):
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    fields = [stamp, result.port or "-", result.serial or "-", result.version_before or "-",
              result.file_model, result.file_version, sha256[:16], result.reason,
              f"{result.seconds:.1f}s"]
    # Whatever a unit calls itself stays on its line.
    return " ".join(field.replace(" ", "_").replace("\n", "_") for field in fields) + "\n"


def test_every_unit_on_the_fixture_is_updated(station):
    firmware = tavrin.inspect(station.firmware)
    units = [i for i in tavrin.list_devices(station.app, station.boot, simulate=station.simulate)
             if i.match != "-"]
    assert units, "no unit on the fixture"

    results = tavrin.update_all(station.firmware, app=station.app, boot=station.boot,
                                simulate=station.simulate)
    with open(station.record, "a", encoding="utf-8") as record:
        for result in results:
            record.write(record_line(result, firmware.sha256))

    lines = station.record.read_text(encoding="utf-8").splitlines()[-len(results):]
    assert len(lines) == len(results) == len(units)
    failed = [f"{r.port}: {r.reason} {r.message or r.detail}".strip() for r in results if not r.ok]
    assert not failed, "units not updated: " + "; ".join(failed)
    if station.simulate is not None:
        for unit in range(len(units)):
            assert station.simulate.stored_image(unit)[1], f"unit {unit} was not finished"
