# update() and update_all() against in-process simulated devices: the result,
# the progress in order, the messages of the command line, and every failure
# reason through the simulator's faults.
import json
import subprocess

import pytest
import tavrin

from testbed import APP, BOOT, BUILD, EXAMPLES

STATE_ORDER = ["start", "query-mode", "wait-bootloader", "check-model", "query-bootloader",
               "set-protocol", "start-update", "write-data", "verify", "finish"]


def test_update_of_a_simulated_device(bench, demo):
    device = bench.add_device("TVR-100", APP, BOOT, version="0.9", port="bay-1", serial="S7")
    result = tavrin.update(demo, app=APP, boot=BOOT, simulate=bench)
    assert (result.ok, result.reason, result.state_name) == (True, "updated", "finish")
    assert (result.port, result.serial, result.version_before) == ("bay-1", "S7", "0.9")
    assert (result.file_model, result.message, result.detail) == ("TVR-100", "", "")
    assert result.seconds >= 0
    image, finished = bench.stored_image(device)
    assert image == demo.read_bytes() and finished


def test_progress_comes_in_order(demo):
    seen = []
    tavrin.update(demo, app=APP, boot=BOOT, simulate=1, progress=seen.append)
    length = demo.stat().st_size
    states = [p.state_name for p in seen]
    assert [s for i, s in enumerate(states) if i == 0 or states[i - 1] != s] == STATE_ORDER
    offsets = [p.offset for p in seen if p.state_name == "write-data"]
    assert offsets == sorted(offsets) and offsets[-1] == length
    # A chunk is 16 bytes: one event per chunk, each 16 further on.
    chunk_events = [b - a for a, b in zip(offsets, offsets[1:]) if b != a]
    assert set(chunk_events) <= {16, length % 16 or 16}
    assert {p.length for p in seen} == {length} and {p.port for p in seen} == {"sim-0"}


def test_messages_are_the_command_lines(demo):
    said = []
    tavrin.update(demo, app=APP, boot=BOOT, simulate=1, messages=lambda port, text: said.append(text))
    command = [str(BUILD / "tavrin"), "--simulate", "-f", str(demo), "-dv", "abcd", "-dp", "1234",
               "-bv", "abcd", "-bp", "1000"]
    cli = subprocess.run(command, capture_output=True, timeout=60, check=True)
    assert "".join(said).encode() == cli.stderr


def test_an_exception_in_a_callback_stops_the_update_and_is_raised(demo):
    def explode(progress):
        if progress.state_name == "write-data":
            raise RuntimeError("station broke")
    with pytest.raises(RuntimeError, match="station broke"):
        tavrin.update(demo, app=APP, boot=BOOT, simulate=1, progress=explode)


def _model_of(path):
    return tavrin.inspect(path).model


# reason -> (device settings, faults, file, update keywords)
FAILURES = {
    "no-device": (None, [], "demo.bin", {}),
    "wrong-model": ({"model": "OTHER"}, [], "demo.bin", {}),
    "get-info": ({}, ["no-answer:get-info:1:0"], "demo.bin", {}),
    "protocol-version": ({"start_mode": "bootloader", "protocol_version": 3}, [], "demo.bin", {}),
    "protocol-mismatch": ({"capabilities": 0x02}, [], "demo_v1.qfw", {}),
    "switch-timeout": ({"never_return": True}, [], "demo.bin", {}),
    "bootloader-not-responding": ({}, ["no-answer:read-version:2:0"], "demo.bin", {}),
    "wrong-bootloader-model": ({}, ["wrong-marker:read-version:2:1"], "demo.bin", {}),
    "set-protocol": ({"set_protocol_result": 1}, [], "demo.bin", {}),
    "start-update": ({}, ["no-answer:start-update:1:0"], "demo.bin", {}),
    "write": ({}, ["no-answer:write-data:3:0"], "demo.bin", {}),
    "verify": ({"verify": "fail"}, [], "demo.bin", {}),
    "empty-image": (None, [], "empty.bin", {}),
}

MESSAGES = {
    "no-device": "No specified VID/PID HID device detected!",
    "wrong-model": "Device not connected",
    "protocol-version": "Error: Unknown protocol version",
    "protocol-mismatch": "Error: Protocol version mismatch",
    "switch-timeout": "Error: Switch to bootloader timeout",
    "bootloader-not-responding": "Error: Bootloader not responding",
    "wrong-bootloader-model": "Error: Incorrect bootloader model",
    "set-protocol": "Error: set procotol failed",
    "verify": "Verify failed",
    "empty-image": "Error: The firmware image is empty",
}


@pytest.mark.parametrize("reason", sorted(FAILURES))
def test_every_failure_reason(bench, reason):
    settings, faults, name, keywords = FAILURES[reason]
    path = EXAMPLES / name
    if settings is not None:
        settings = dict(settings)
        model = settings.pop("model", None) or _model_of(path)
        bench.add_device(model, APP, BOOT, faults=faults, **settings)
    with pytest.raises(tavrin.UpdateError) as caught:
        tavrin.update(path, app=APP, boot=BOOT, simulate=bench, **keywords)
    error = caught.value
    assert error.reason == reason and error.result.reason == reason and not error.result.ok
    if reason in MESSAGES:
        assert error.result.message == MESSAGES[reason]
    else:
        # Silent failures say why in the detail, and with verbose in a message.
        assert error.result.message == "" and error.result.detail.startswith("Error: ")
    if reason == "write":
        assert error.result.offset == 32
        assert "at offset 0x0020 after 6 sends" in error.result.detail


def test_a_silent_failure_speaks_with_verbose(bench, demo):
    bench.add_device("TVR-100", APP, BOOT, faults=["no-answer:start-update:1:0"])
    with pytest.raises(tavrin.UpdateError) as caught:
        tavrin.update(demo, app=APP, boot=BOOT, simulate=bench, verbose=True)
    assert caught.value.result.message == caught.value.result.detail


def test_invalid_file_and_multiple_devices(bench, tmp_path):
    bad = tmp_path / "bad.qfw"
    bad.write_bytes(b"not a container")
    with pytest.raises(tavrin.UpdateError) as caught:
        tavrin.update(bad, app=APP, boot=BOOT, simulate=1)
    assert caught.value.reason == "invalid-file"
    assert caught.value.result.message == "Error: The input file is not a valid firmware file!"
    bench.add_device("TVR-100", APP, BOOT)
    bench.add_device("TVR-100", APP, BOOT)
    with pytest.raises(tavrin.UpdateError) as caught:
        tavrin.update(EXAMPLES / "demo.bin", app=APP, boot=BOOT, simulate=bench)
    assert caught.value.reason == "multiple-devices"
    # The port singles one out.
    assert tavrin.update(EXAMPLES / "demo.bin", app=APP, boot=BOOT, port="sim-1",
                         simulate=bench).port == "sim-1"


def test_update_all_gives_a_result_per_device(bench, demo):
    bench.add_device("TVR-100", APP, BOOT, port="a")
    bench.add_device("OTHER", APP, BOOT, port="b")
    bench.add_device("TVR-100", APP, BOOT, port="c", faults=["no-answer:read-version:1:0"])
    bench.add_device("TVR-100", APP, BOOT, port="d", verify="fail")
    ports = set()
    results = tavrin.update_all(demo, app=APP, boot=BOOT, simulate=bench,
                                progress=lambda p: ports.add(p.port))
    assert [(r.port, r.reason) for r in results] == [
        ("a", "updated"), ("b", "wrong-model"), ("c", "no-answer"), ("d", "verify")]
    assert results[1].detail == "another model (OTHER), not updated"
    assert ports == {"a", "d"}
    assert bench.stored_image(0) == (demo.read_bytes(), True)


def test_update_all_of_a_simulated_bench(demo):
    results = tavrin.update_all(demo, app=APP, boot=BOOT, simulate=3, jobs=2)
    assert [(r.port, r.ok) for r in results] == [("sim-0", True), ("sim-1", True), ("sim-2", True)]
    with pytest.raises(tavrin.UpdateError) as caught:
        tavrin.update_all(demo, app=APP, boot=BOOT, simulate=tavrin.Simulation())
    assert caught.value.reason == "no-device"


@pytest.mark.parametrize("name,devices", [("demo.bin", "1"), ("empty.bin", "1"),
                                          ("demo_v2.qfw", "2"), ("not-there.bin", "1")])
def test_results_are_the_json_outputs(name, devices):
    path = EXAMPLES / name
    command = [str(BUILD / "tavrin"), f"--simulate={devices}", "--json", "-f", str(path),
               "-dv", "abcd", "-dp", "1234", "-bv", "abcd", "-bp", "1000"]
    cli = subprocess.run(command, capture_output=True, timeout=60)
    fields = json.loads(cli.stdout.decode().splitlines()[-1])
    assert fields["event"] == "result"
    try:
        result = tavrin.update(path, app=APP, boot=BOOT, simulate=int(devices))
    except tavrin.UpdateError as error:
        result = error.result
    assert (result.ok, result.reason, result.state, result.message) == (
        fields["ok"], fields["reason"], fields["state"], fields["message"])
    assert (result.detail, result.port, result.serial, result.version_before) == (
        fields.get("detail", ""), fields["port"], fields["serial"], fields["version-before"])
