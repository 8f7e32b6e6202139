# Cancellation from another thread and by Ctrl-C, and updates on two threads
# at once. The simulated devices are paced by real time here, so that an
# update lasts long enough to be stopped halfway.
import os
import signal
import threading
import time

import pytest
import tavrin

from testbed import APP, BOOT

IN_BOOTLOADER = ("Interrupted: the device waits in its bootloader; run the same command with "
                 "-bv and -bp (its bootloader ids) to finish the update")
NOTHING_WRITTEN = "Interrupted: nothing was written; the device still runs its firmware"


@pytest.fixture
def paced():
    with tavrin.Simulation(latency_ms=2) as simulation:
        yield simulation


def _when_writing(event):
    """A progress callback that sets event once 64 bytes are written."""
    def progress(p):
        if p.state_name == "write-data" and p.offset >= 64:
            event.set()
    return progress


def test_cancel_from_another_thread_stops_at_the_safe_point(paced, long_image):
    device = paced.add_device("TVR-100", APP, BOOT)
    writing = threading.Event()
    runner = tavrin.Update(long_image, APP, BOOT, simulate=paced, progress=_when_writing(writing))
    canceller = threading.Thread(target=lambda: writing.wait(30) and runner.cancel())
    canceller.start()
    [result] = runner.run()
    canceller.join(30)
    assert (result.ok, result.reason, result.message) == (False, "interrupted", IN_BOOTLOADER)
    image, finished = paced.stored_image(device)
    assert 64 <= len(image) < long_image.stat().st_size and not finished
    # The device waits in its bootloader: the same update finishes it.
    assert tavrin.update(long_image, app=APP, boot=BOOT, simulate=paced).ok
    assert paced.stored_image(device) == (long_image.read_bytes(), True)


def test_a_cancel_event_stops_update_with_an_error(paced, long_image):
    paced.add_device("TVR-100", APP, BOOT)
    writing = threading.Event()
    with pytest.raises(tavrin.UpdateError) as caught:
        tavrin.update(long_image, app=APP, boot=BOOT, simulate=paced, progress=_when_writing(writing),
                      cancel=writing)
    assert caught.value.reason == "interrupted" and caught.value.message == IN_BOOTLOADER


def test_cancel_before_the_run_writes_nothing(paced, long_image):
    device = paced.add_device("TVR-100", APP, BOOT)
    runner = tavrin.Update(long_image, APP, BOOT, simulate=paced)
    runner.cancel()
    [result] = runner.run()
    assert (result.reason, result.message) == ("interrupted", NOTHING_WRITTEN)
    assert paced.stored_image(device) == (b"", False)
    with pytest.raises(RuntimeError):
        runner.run()


def test_ctrl_c_stops_the_update_as_the_command_line_does(paced, long_image):
    device = paced.add_device("TVR-100", APP, BOOT)
    writing = threading.Event()

    def interrupt():
        writing.wait(30)
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt, daemon=True).start()
    started = time.monotonic()
    with pytest.raises(tavrin.Interrupted) as caught:
        tavrin.update(long_image, app=APP, boot=BOOT, simulate=paced, progress=_when_writing(writing))
    assert isinstance(caught.value, KeyboardInterrupt)
    assert (caught.value.reason, caught.value.message) == ("interrupted", IN_BOOTLOADER)
    image, finished = paced.stored_image(device)
    assert len(image) < long_image.stat().st_size and not finished
    assert time.monotonic() - started < 30


def test_two_updates_on_two_threads_at_once(paced, long_image):
    paced.add_device("TVR-100", APP, BOOT, port="left")
    paced.add_device("TVR-100", APP, BOOT, port="right")
    spans = {}
    results = {}

    def run(port):
        times = []
        results[port] = tavrin.update(long_image, app=APP, boot=BOOT, port=port, simulate=paced,
                                      progress=lambda p: times.append(time.monotonic()))
        spans[port] = (times[0], times[-1])

    threads = [threading.Thread(target=run, args=(port,)) for port in ("left", "right")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert results["left"].ok and results["right"].ok
    assert (results["left"].port, results["right"].port) == ("left", "right")
    # They overlapped: each started before the other ended.
    assert spans["left"][0] < spans["right"][1] and spans["right"][0] < spans["left"][1]
    assert paced.stored_image(0) == (long_image.read_bytes(), True)
    assert paced.stored_image(1) == (long_image.read_bytes(), True)
