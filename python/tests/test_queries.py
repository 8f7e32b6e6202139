# list_devices, inspect and read_versions against in-process simulated devices
# and the example files with their expected --inspect output.
import hashlib

import pytest
import tavrin

from testbed import APP, BOOT, EXAMPLES


def test_version_matches_the_header():
    assert tavrin.library_version() == "0.14"


def test_list_devices_shows_every_interface_of_the_kind_with_its_match(bench):
    bench.add_device("QS-100", APP, BOOT, port="1-1.4", serial="A 1")
    bench.add_device("QS-100", APP, BOOT, start_mode="bootloader", port="1-2", serial="B2")
    bench.add_device("QS-100", (0x0C2E, 0x0B61), (0, 0), port="", serial="")
    listed = tavrin.list_devices(APP, BOOT, simulate=bench)
    assert [(i.port, i.serial, i.match) for i in listed] == [
        ("1-1.4", "A 1", "application"), ("1-2", "B2", "bootloader"), ("sim-2", "SIM0003", "-")]
    first = listed[0]
    assert (first.vendor_id, first.product_id, first.product) == (0xABCD, 0x1234, "Simulated QS-100")
    assert first.node and first.path and not first.access_denied
    # Without ids nothing matches, and the interfaces are listed all the same.
    assert [i.match for i in tavrin.list_devices(simulate=bench)] == ["-", "-", "-"]


def test_list_devices_with_a_simulated_bench_of_n():
    listed = tavrin.list_devices(APP, BOOT, simulate=2)
    assert [(i.port, i.serial, i.product) for i in listed] == [
        ("sim-0", "SIM0001", "Simulated TVR-100"), ("sim-1", "SIM0002", "Simulated TVR-100")]


def _golden(path):
    fields = {}
    for line in (path.parent / (path.name + ".inspect")).read_text().splitlines():
        key, _, value = line.partition(": ")
        fields[key] = value
    return fields


@pytest.mark.parametrize("name", ["demo.bin", "demo.hex", "demo_v1.qfw", "demo_v2.qfw", "empty.bin"])
def test_inspect_gives_what_the_command_line_prints(name):
    path = EXAMPLES / name
    info = tavrin.inspect(path)
    golden = _golden(path)
    assert info.format == golden["format"]
    assert info.length == int(golden["length"])
    assert f"0x{info.image_crc:08X}" == golden["image-crc"]
    assert f"0x{info.check_word:08X}" == golden["check-word"]
    assert f"0x{info.protocol_mask:02X}" == golden["protocol-mask"]
    assert info.protocol_selection == int(golden["protocol-selection"])
    assert (info.model, info.version) == (golden["model"], golden["version"])
    assert info.sha256 == hashlib.sha256(path.read_bytes()).hexdigest()


def test_inspect_hashes_the_image_an_update_sends():
    # A raw file is its image; the HEX file's image is its bytes, not its text.
    raw = EXAMPLES / "demo.bin"
    assert tavrin.inspect(raw).image_sha256 == hashlib.sha256(raw.read_bytes()).hexdigest()
    hexed = tavrin.inspect(EXAMPLES / "demo.hex")
    assert len(hexed.image_sha256) == 64 and hexed.image_sha256 != hexed.sha256


def _unescape(text):
    """The bytes behind --inspect's escaped text (\\\\ and \\xHH)."""
    out, i = bytearray(), 0
    while i < len(text):
        if text.startswith("\\\\", i):
            out += b"\\"
            i += 2
        elif text.startswith("\\x", i):
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += text[i].encode()
            i += 1
    return bytes(out)


def test_inspect_keeps_the_bytes_a_file_names_itself_with():
    # --inspect escapes them; the module hands them over as they are.
    info = tavrin.inspect(EXAMPLES / "escape.bin")
    golden = _golden(EXAMPLES / "escape.bin")
    assert info.model.encode("utf-8", "surrogateescape") == _unescape(golden["model"])
    assert info.version.encode("utf-8", "surrogateescape") == _unescape(golden["version"])
    assert "\\x" in golden["model"] + golden["version"]


def test_inspect_of_an_invalid_file_says_why(tmp_path):
    bad = tmp_path / "bad.hex"
    bad.write_text(":0400000001020304F2\n")
    with pytest.raises(tavrin.FileError) as caught:
        tavrin.inspect(bad)
    assert caught.value.reason == "invalid-file"
    assert caught.value.message.endswith("Error: The input file is not a valid firmware file!")
    with pytest.raises(tavrin.FileError):
        tavrin.inspect(tmp_path / "missing.bin")


def test_read_versions_of_every_device_that_passes(bench):
    bench.add_device("QS-100", APP, BOOT, version="1.2.3", port="p1", serial="S1")
    bench.add_device("QS-200", APP, BOOT, version="a long version text", port="p2", serial="S2")
    bench.add_device("QS-300", APP, BOOT, port="p3", faults=["no-answer:read-version:1:0"])
    versions = tavrin.read_versions(APP, BOOT, simulate=bench)
    assert [(v.port, v.ok, v.reason, v.model, v.version) for v in versions] == [
        ("p1", True, "", "QS-100", "1.2.3"),
        ("p2", True, "", "QS-200", "a long version text"),
        ("p3", False, "no-answer", "", "")]
    assert versions[0].serial == "S1" and versions[0].mode == "application"
    only = tavrin.read_versions(APP, BOOT, port="p2", simulate=bench)
    assert [v.model for v in only] == ["QS-200"]
    assert tavrin.read_versions(APP, BOOT, serial="S1", simulate=bench)[0].model == "QS-100"
    assert tavrin.read_versions((1, 2), simulate=bench) == []


def test_ids_out_of_range_are_refused():
    with pytest.raises(ValueError):
        tavrin.list_devices((0x10000, 1), simulate=1)
    with pytest.raises(ValueError):
        tavrin.Simulation().add_device("X", APP, BOOT, verify="sometimes")
    with pytest.raises(ValueError):
        tavrin.Simulation().add_device("X", APP, BOOT, faults=["no-answer:no-such-command"])
