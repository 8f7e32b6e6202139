"""Firmware updates of USB HID devices, in process.

The update of the tavrin command line as a Python module for test stations:
list the devices of the kind, check a firmware file, read versions, update
one device or every device at once, with progress and cancellation. Results
carry the reason codes, messages and details of ``tavrin --json``.

A binding over libtavrin's C interface (``libtavrin.so.0``); set
``TAVRIN_LIBRARY`` to load another build of it. ``simulate=`` runs any call
against simulated devices inside the process instead of the system's HID
interfaces: a number of devices of the file's model (as ``--simulate=N``),
or a :class:`Simulation` bench of your own.

Ctrl-C during :func:`update` stops the update at its next safe point, as
it stops the command line, and raises :class:`Interrupted`; a second
Ctrl-C raises ``KeyboardInterrupt`` at once.
"""

import ctypes
import os
import threading
from dataclasses import dataclass
from typing import Callable, List, Optional, Sequence, Tuple, Union

__all__ = [
    "DeviceVersion", "FileError", "FileInfo", "Interface", "Interrupted", "Progress",
    "Result", "Simulation", "TavrinError", "Update", "UpdateError", "inspect",
    "library_version", "list_devices", "read_versions", "update", "update_all",
]

# --- the C interface ----------------------------------------------------------

_OK, _FAILED = 0, 1
_c_str = ctypes.c_char_p
_u8, _u16, _u32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32


class _Ids(ctypes.Structure):
    _fields_ = [("app_vid", _u16), ("app_pid", _u16), ("boot_vid", _u16), ("boot_pid", _u16)]


class _Interface(ctypes.Structure):
    _fields_ = [("node", _c_str), ("path", _c_str), ("product", _c_str), ("port", _c_str),
                ("serial", _c_str), ("match", _c_str), ("vendor_id", _u16),
                ("product_id", _u16), ("access_denied", ctypes.c_int)]


class _FileInfo(ctypes.Structure):
    _fields_ = [("ok", ctypes.c_int), ("reason", _c_str), ("message", _c_str),
                ("format", _c_str), ("length", _u32), ("image_crc", _u32),
                ("check_word", _u32), ("protocol_mask", _u8), ("protocol_selection", _u8),
                ("model", _c_str), ("version", _c_str), ("sha256", _c_str),
                ("image_sha256", _c_str)]


class _DeviceVersion(ctypes.Structure):
    _fields_ = [("path", _c_str), ("port", _c_str), ("serial", _c_str), ("mode", _c_str),
                ("ok", ctypes.c_int), ("reason", _c_str), ("model", _c_str),
                ("version", _c_str)]


class _Result(ctypes.Structure):
    _fields_ = [("ok", ctypes.c_int), ("reason", _c_str), ("state", _u32),
                ("message", _c_str), ("detail", _c_str), ("offset", _u32), ("port", _c_str),
                ("serial", _c_str), ("version_before", _c_str), ("file_model", _c_str),
                ("file_version", _c_str), ("seconds", ctypes.c_double)]


_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, _c_str, _u32, _u32, _u32)
_MESSAGES = ctypes.CFUNCTYPE(None, ctypes.c_void_p, _c_str, _c_str)


def _load():
    name = os.environ.get("TAVRIN_LIBRARY") or "libtavrin.so.0"
    try:
        lib = ctypes.CDLL(name)
    except OSError as error:
        raise ImportError(f"tavrin: cannot load {name}: {error}") from error
    p = ctypes.c_void_p
    signatures = {
        "tavrin_version": (_c_str, []),
        "tavrin_platform_native": (p, []),
        "tavrin_platform_simulated": (p, []),
        "tavrin_platform_free": (None, [p]),
        "tavrin_sim_device_new": (p, [_c_str, ctypes.POINTER(_Ids)]),
        "tavrin_sim_device_set": (ctypes.c_int, [p, _c_str, _c_str]),
        "tavrin_sim_device_free": (None, [p]),
        "tavrin_sim_add": (ctypes.c_int, [p, p]),
        "tavrin_sim_add_bench": (ctypes.c_int, [p, _c_str, ctypes.POINTER(_Ids), _u32]),
        "tavrin_sim_set_latency": (ctypes.c_int, [p, _u32]),
        "tavrin_sim_stored_image": (ctypes.c_long, [p, ctypes.c_int, ctypes.c_void_p,
                                                   ctypes.c_size_t, ctypes.POINTER(ctypes.c_int)]),
        "tavrin_list_interfaces": (p, [p, ctypes.POINTER(_Ids)]),
        "tavrin_interface_list_count": (ctypes.c_size_t, [p]),
        "tavrin_interface_list_get": (ctypes.POINTER(_Interface), [p, ctypes.c_size_t]),
        "tavrin_interface_list_free": (None, [p]),
        "tavrin_inspect": (ctypes.POINTER(_FileInfo), [_c_str]),
        "tavrin_file_info_free": (None, [ctypes.POINTER(_FileInfo)]),
        "tavrin_read_versions": (p, [p, ctypes.POINTER(_Ids), _c_str, _c_str]),
        "tavrin_version_list_count": (ctypes.c_size_t, [p]),
        "tavrin_version_list_get": (ctypes.POINTER(_DeviceVersion), [p, ctypes.c_size_t]),
        "tavrin_version_list_free": (None, [p]),
        "tavrin_state_name": (_c_str, [_u32]),
        "tavrin_update_new": (p, [_c_str, ctypes.POINTER(_Ids)]),
        "tavrin_update_set_port": (ctypes.c_int, [p, _c_str]),
        "tavrin_update_set_serial": (ctypes.c_int, [p, _c_str]),
        "tavrin_update_set_verbose": (ctypes.c_int, [p, ctypes.c_int]),
        "tavrin_update_set_platform": (ctypes.c_int, [p, p]),
        "tavrin_update_set_simulated": (ctypes.c_int, [p, _u32]),
        "tavrin_update_set_all": (ctypes.c_int, [p, _u32]),
        "tavrin_update_set_progress": (ctypes.c_int, [p, _PROGRESS, p]),
        "tavrin_update_set_messages": (ctypes.c_int, [p, _MESSAGES, p]),
        "tavrin_update_run": (ctypes.c_int, [p]),
        "tavrin_update_cancel": (None, [p]),
        "tavrin_update_result_count": (ctypes.c_size_t, [p]),
        "tavrin_update_result": (ctypes.POINTER(_Result), [p, ctypes.c_size_t]),
        "tavrin_update_free": (None, [p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _load()


def _text(raw: Optional[bytes]) -> str:
    # Whatever bytes a device or file gave: kept, not dropped.
    return raw.decode("utf-8", "surrogateescape") if raw else ""


def _bytes(text: Optional[str]) -> Optional[bytes]:
    return None if text is None else os.fsencode(text)


def _ids(app: Optional[Tuple[int, int]], boot: Optional[Tuple[int, int]]) -> _Ids:
    app_vid, app_pid = app if app is not None else (0, 0)
    boot_vid, boot_pid = boot if boot is not None else (0, 0)
    for value in (app_vid, app_pid, boot_vid, boot_pid):
        if not isinstance(value, int) or not 0 <= value <= 0xFFFF:
            raise ValueError(f"tavrin: a USB id is a number from 0 to 0xFFFF, not {value!r}")
    return _Ids(app_vid, app_pid, boot_vid, boot_pid)


def library_version() -> str:
    """The version of the libtavrin in use ("0.14")."""
    return _text(_lib.tavrin_version())


# --- what the calls return ----------------------------------------------------------

class TavrinError(Exception):
    """A failure with a fixed reason code and the message tavrin prints."""

    def __init__(self, reason: str, message: str):
        super().__init__(f"{reason}: {message.strip() or reason}")
        self.reason = reason
        self.message = message


class FileError(TavrinError):
    """A firmware file that is not valid (reason "invalid-file")."""


class UpdateError(TavrinError):
    """An update that failed; ``reason`` is the code of ``tavrin --json``.

    ``result`` is the device's :class:`Result` (for :func:`update_all`, the
    run's, and ``results`` holds every one).
    """

    def __init__(self, result: "Result", results: Optional[List["Result"]] = None):
        super().__init__(result.reason, result.message or result.detail)
        self.result = result
        self.results = results if results is not None else [result]


class Interrupted(KeyboardInterrupt):
    """Ctrl-C stopped an update at its safe point; ``message`` says where it
    left the device, as the command line does. A KeyboardInterrupt, so that
    a station stops as the operator asked."""

    def __init__(self, result: "Result", results: Optional[List["Result"]] = None):
        super().__init__(result.message.strip())
        self.reason = result.reason
        self.message = result.message
        self.result = result
        self.results = results if results is not None else [result]


@dataclass(frozen=True)
class Interface:
    """An interface of the kind tavrin updates (usage page 0x8C, usage 0x01)."""
    node: str
    path: str
    product: str
    port: str
    serial: str
    match: str  #: "application", "bootloader" or "-" under the ids given
    vendor_id: int
    product_id: int
    access_denied: bool  #: an update would be refused for lack of permission


@dataclass(frozen=True)
class FileInfo:
    """A firmware file as an update loads it (``tavrin --inspect``)."""
    format: str
    length: int
    image_crc: int
    check_word: int
    protocol_mask: int
    protocol_selection: int
    model: str
    version: str
    sha256: str  #: of the file
    image_sha256: str  #: of the bytes an update sends


@dataclass(frozen=True)
class DeviceVersion:
    """A device's answer to the version request (``tavrin -r``)."""
    path: str
    port: str
    serial: str
    mode: str
    ok: bool
    reason: str  #: "" when ok, else "no-answer" or "failed"
    model: str
    version: str


@dataclass(frozen=True)
class Result:
    """How the update of one device ended."""
    ok: bool
    reason: str
    state: int
    state_name: str
    message: str
    detail: str
    offset: int
    port: str
    serial: str
    version_before: str
    file_model: str
    file_version: str
    seconds: float


@dataclass(frozen=True)
class Progress:
    """Where an update stands: told at every state change and every chunk."""
    port: str
    state: int
    state_name: str
    offset: int
    length: int


def _result(raw: _Result) -> Result:
    return Result(ok=bool(raw.ok), reason=_text(raw.reason), state=raw.state,
                  state_name=_text(_lib.tavrin_state_name(raw.state)),
                  message=_text(raw.message), detail=_text(raw.detail), offset=raw.offset,
                  port=_text(raw.port), serial=_text(raw.serial),
                  version_before=_text(raw.version_before), file_model=_text(raw.file_model),
                  file_version=_text(raw.file_version), seconds=raw.seconds)


# --- simulated devices -------------------------------------------------------------

class Simulation:
    """Simulated devices inside this process, on a virtual clock (an update
    takes no real time unless ``latency_ms`` paces every exchange). Pass it
    as ``simulate=`` to any call; it may serve several at once."""

    def __init__(self, latency_ms: int = 0):
        self._handle = _lib.tavrin_platform_simulated()
        if not self._handle:
            raise MemoryError("tavrin: cannot make a simulated platform")
        if latency_ms:
            _lib.tavrin_sim_set_latency(self._handle, latency_ms)

    def add_device(self, model: str = "TVR-100", app: Tuple[int, int] = (0, 0),
                   boot: Tuple[int, int] = (0, 0), faults: Sequence[str] = (),
                   **settings: Union[str, int, bool]) -> int:
        """Plugs in a device of model under the ids; returns its id.

        settings are those of tavrin_sim_device_set with "_" for "-"
        (version, port, serial, start_mode, protocol_version, capabilities,
        set_protocol_result, verify, restart_ms, never_return, vanish_after,
        stop_taking_after); each fault is "KIND:COMMAND[:FIRST[:COUNT[:DELAY]]]".
        """
        device = _lib.tavrin_sim_device_new(model.encode(), ctypes.byref(_ids(app, boot)))
        if not device:
            raise MemoryError("tavrin: cannot make a simulated device")
        try:
            pairs = [(key.replace("_", "-"), value) for key, value in settings.items()]
            pairs += [("fault", fault) for fault in faults]
            for key, value in pairs:
                text = str(int(value)) if isinstance(value, bool) else str(value)
                if _lib.tavrin_sim_device_set(device, key.encode(), os.fsencode(text)) != _OK:
                    raise ValueError(f"tavrin: simulated device setting {key}={text!r}")
            return _lib.tavrin_sim_add(self._handle, device)
        finally:
            _lib.tavrin_sim_device_free(device)

    def add_bench(self, count: int, model: Optional[str] = None, app: Tuple[int, int] = (0, 0),
                  boot: Tuple[int, int] = (0, 0)) -> None:
        """Plugs in count devices as ``--simulate=N`` does (ports sim-0, ...)."""
        _lib.tavrin_sim_add_bench(self._handle, None if model is None else model.encode(),
                                  ctypes.byref(_ids(app, boot)), count)

    def stored_image(self, device_id: int) -> Tuple[bytes, bool]:
        """The image bytes the device took in its last update, and whether it
        was told the update is complete. Read it while no update runs."""
        finished = ctypes.c_int(0)
        length = _lib.tavrin_sim_stored_image(self._handle, device_id, None, 0, None)
        if length < 0:
            raise ValueError(f"tavrin: no simulated device {device_id}")
        buffer = ctypes.create_string_buffer(max(length, 1))
        length = _lib.tavrin_sim_stored_image(self._handle, device_id, buffer, length,
                                              ctypes.byref(finished))
        return buffer.raw[:length], bool(finished.value)

    def close(self) -> None:
        """Frees the devices; no call may use them any more."""
        if self._handle:
            _lib.tavrin_platform_free(self._handle)
            self._handle = None

    def __enter__(self) -> "Simulation":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()


Simulate = Union[None, int, Simulation]


def _platform_for(simulate: Simulate, model: Optional[str], ids: _Ids):
    """The platform handle a query uses, and the Simulation to keep alive."""
    if simulate is None:
        return None, None
    if isinstance(simulate, Simulation):
        return simulate._handle, simulate
    bench = Simulation()
    _lib.tavrin_sim_add_bench(bench._handle, None if model is None else model.encode(),
                              ctypes.byref(ids), int(simulate))
    return bench._handle, bench


# --- queries --------------------------------------------------------------------------

def list_devices(app: Optional[Tuple[int, int]] = None, boot: Optional[Tuple[int, int]] = None,
                 simulate: Simulate = None) -> List[Interface]:
    """Every interface of the kind, whatever its ids (``tavrin --list``);
    app and boot only decide each one's ``match``."""
    ids = _ids(app, boot)
    platform, keep = _platform_for(simulate, None, ids)
    handle = _lib.tavrin_list_interfaces(platform, ctypes.byref(ids))
    if not handle:
        raise OSError("tavrin: the HID interfaces cannot be listed")
    try:
        items = []
        for index in range(_lib.tavrin_interface_list_count(handle)):
            raw = _lib.tavrin_interface_list_get(handle, index).contents
            items.append(Interface(
                node=_text(raw.node), path=_text(raw.path), product=_text(raw.product),
                port=_text(raw.port), serial=_text(raw.serial), match=_text(raw.match),
                vendor_id=raw.vendor_id, product_id=raw.product_id,
                access_denied=bool(raw.access_denied)))
        return items
    finally:
        _lib.tavrin_interface_list_free(handle)
        del keep


def inspect(path: Union[str, os.PathLike]) -> FileInfo:
    """Loads a firmware file as an update would (``tavrin --inspect``).
    Raises :class:`FileError` when it is not a valid firmware file."""
    raw_pointer = _lib.tavrin_inspect(os.fsencode(path))
    if not raw_pointer:
        raise MemoryError("tavrin: cannot inspect the file")
    try:
        raw = raw_pointer.contents
        if not raw.ok:
            raise FileError(_text(raw.reason), _text(raw.message))
        return FileInfo(format=_text(raw.format), length=raw.length, image_crc=raw.image_crc,
                        check_word=raw.check_word, protocol_mask=raw.protocol_mask,
                        protocol_selection=raw.protocol_selection, model=_text(raw.model),
                        version=_text(raw.version), sha256=_text(raw.sha256),
                        image_sha256=_text(raw.image_sha256))
    finally:
        _lib.tavrin_file_info_free(raw_pointer)


def read_versions(app: Tuple[int, int], boot: Optional[Tuple[int, int]] = None,
                  port: Optional[str] = None, serial: Optional[str] = None,
                  simulate: Simulate = None) -> List[DeviceVersion]:
    """Asks every device that passes for its model and version (``tavrin -r``);
    an empty list when none passes."""
    ids = _ids(app, boot)
    platform, keep = _platform_for(simulate, None, ids)
    handle = _lib.tavrin_read_versions(platform, ctypes.byref(ids), _bytes(port), _bytes(serial))
    if not handle:
        raise OSError("tavrin: the devices cannot be asked")
    try:
        items = []
        for index in range(_lib.tavrin_version_list_count(handle)):
            raw = _lib.tavrin_version_list_get(handle, index).contents
            items.append(DeviceVersion(
                path=_text(raw.path), port=_text(raw.port), serial=_text(raw.serial),
                mode=_text(raw.mode), ok=bool(raw.ok), reason=_text(raw.reason),
                model=_text(raw.model), version=_text(raw.version)))
        return items
    finally:
        _lib.tavrin_version_list_free(handle)
        del keep


# --- updates ----------------------------------------------------------------------------

ProgressCallback = Callable[[Progress], None]
MessageCallback = Callable[[str, str], None]


class Update:
    """One update, set up, run once, and cancellable from any thread.

    :func:`update` and :func:`update_all` are the usual way; this class is
    for a caller that cancels from elsewhere (``cancel()``).
    """

    # How often the waiting thread looks up: Python delivers a Ctrl-C, and
    # sees a cancel event, between two looks.
    _POLL_SECONDS = 0.05

    def __init__(self, path: Union[str, os.PathLike], app: Tuple[int, int],
                 boot: Optional[Tuple[int, int]] = None, port: Optional[str] = None,
                 serial: Optional[str] = None, progress: Optional[ProgressCallback] = None,
                 simulate: Simulate = None, verbose: bool = False,
                 messages: Optional[MessageCallback] = None, all_devices: bool = False,
                 jobs: int = 0):
        self._handle = _lib.tavrin_update_new(os.fsencode(path), ctypes.byref(_ids(app, boot)))
        if not self._handle:
            raise MemoryError("tavrin: cannot make an update")
        self._simulation = simulate if isinstance(simulate, Simulation) else None
        self._callback_error: Optional[BaseException] = None
        self._ran = False
        if port is not None:
            _lib.tavrin_update_set_port(self._handle, os.fsencode(port))
        if serial is not None:
            _lib.tavrin_update_set_serial(self._handle, os.fsencode(serial))
        _lib.tavrin_update_set_verbose(self._handle, 1 if verbose else 0)
        if self._simulation is not None:
            _lib.tavrin_update_set_platform(self._handle, self._simulation._handle)
        elif simulate is not None:
            if int(simulate) < 1:
                raise ValueError("tavrin: simulate= counts devices, at least 1")
            _lib.tavrin_update_set_simulated(self._handle, int(simulate))
        if all_devices:
            _lib.tavrin_update_set_all(self._handle, jobs)
        # The C side keeps the function pointers: they live as long as self.
        self._progress = _PROGRESS(self._progress_adapter(progress)) if progress else None
        self._messages = _MESSAGES(self._message_adapter(messages)) if messages else None
        if self._progress:
            _lib.tavrin_update_set_progress(self._handle, self._progress, None)
        if self._messages:
            _lib.tavrin_update_set_messages(self._handle, self._messages, None)

    def _guard(self, call: Callable[[], None]) -> None:
        # An exception in a callback cannot cross the C library: it stops the
        # update and is raised once the run has ended.
        try:
            call()
        except BaseException as error:  # noqa: B902 - KeyboardInterrupt included
            if self._callback_error is None:
                self._callback_error = error
            self.cancel()

    def _progress_adapter(self, callback: ProgressCallback):
        def adapter(_user, port, state, offset, length):
            event = Progress(port=_text(port), state=state,
                             state_name=_text(_lib.tavrin_state_name(state)), offset=offset,
                             length=length)
            self._guard(lambda: callback(event))
        return adapter

    def _message_adapter(self, callback: MessageCallback):
        def adapter(_user, port, text):
            self._guard(lambda: callback(_text(port), _text(text)))
        return adapter

    def cancel(self) -> None:
        """Stops the update at its next safe point (any thread, at any time)."""
        if self._handle:
            _lib.tavrin_update_cancel(self._handle)

    def run(self, cancel: Optional[threading.Event] = None) -> List[Result]:
        """Runs the update and returns one result per device (failures
        included: see :func:`update` for the raising form). cancel, when set
        by anyone, cancels it. Ctrl-C cancels it and raises
        :class:`Interrupted` once it has stopped."""
        if self._ran:
            raise RuntimeError("tavrin: an update runs once")
        self._ran = True
        done = threading.Event()
        status = []

        def work() -> None:
            try:
                status.append(_lib.tavrin_update_run(self._handle))
            finally:
                done.set()

        worker = threading.Thread(target=work, name="tavrin-update", daemon=True)
        worker.start()
        interrupted = False
        while not done.is_set():
            try:
                if done.wait(self._POLL_SECONDS):
                    break
                if cancel is not None and cancel.is_set():
                    self.cancel()
            except KeyboardInterrupt:
                if interrupted:
                    raise  # a second Ctrl-C: at once, as on the command line
                interrupted = True
                self.cancel()
        worker.join()
        if status and status[0] < 0:
            raise OSError(f"tavrin: the update could not run (status {status[0]})")
        results = [_result(_lib.tavrin_update_result(self._handle, index).contents)
                   for index in range(_lib.tavrin_update_result_count(self._handle))]
        if self._callback_error is not None:
            raise self._callback_error
        stopped = [r for r in results if r.reason == "interrupted"]
        if interrupted and stopped:
            raise Interrupted(stopped[0], results)
        return results

    def close(self) -> None:
        if getattr(self, "_handle", None):
            _lib.tavrin_update_free(self._handle)
            self._handle = None

    def __del__(self) -> None:
        self.close()


def update(path: Union[str, os.PathLike], app: Tuple[int, int],
           boot: Optional[Tuple[int, int]] = None, port: Optional[str] = None,
           serial: Optional[str] = None, progress: Optional[ProgressCallback] = None,
           simulate: Simulate = None, verbose: bool = False,
           messages: Optional[MessageCallback] = None,
           cancel: Optional[threading.Event] = None) -> Result:
    """Updates the one device of the file's model that passes app/boot ids
    (and port or serial), as ``tavrin -f``. Returns its :class:`Result`;
    raises :class:`UpdateError` with ``.reason`` when it fails, and
    :class:`Interrupted` after a Ctrl-C stopped it.

    progress gets a :class:`Progress` at every state change and chunk;
    messages gets (port, text) for every message the command line prints;
    both run on the update's thread. The GIL is released while the update
    runs.
    """
    runner = Update(path, app, boot, port=port, serial=serial, progress=progress,
                    simulate=simulate, verbose=verbose, messages=messages)
    try:
        result = runner.run(cancel)[0]
    finally:
        runner.close()
    if not result.ok:
        raise UpdateError(result)
    return result


def update_all(path: Union[str, os.PathLike], app: Tuple[int, int],
               boot: Optional[Tuple[int, int]] = None, jobs: int = 0,
               progress: Optional[ProgressCallback] = None, simulate: Simulate = None,
               verbose: bool = False, messages: Optional[MessageCallback] = None,
               cancel: Optional[threading.Event] = None) -> List[Result]:
    """Updates every device of the file's model at once, as ``tavrin --all``
    (at most jobs at a time; 0: all), and returns a result per device that
    passed the ids, failures included. Raises :class:`UpdateError` only when
    no device took part (an invalid file, no device). Callbacks may run on
    several threads at once."""
    runner = Update(path, app, boot, progress=progress, simulate=simulate, verbose=verbose,
                    messages=messages, all_devices=True, jobs=jobs)
    try:
        results = runner.run(cancel)
    finally:
        runner.close()
    # Only these end a run before any device took part.
    if len(results) == 1 and results[0].reason in ("invalid-file", "empty-image", "no-device"):
        raise UpdateError(results[0], results)
    return results
