# Type hints of the tavrin module (python/tavrin/__init__.py).
import os
import threading
from typing import Callable, List, Optional, Sequence, Tuple, Union

Ids = Tuple[int, int]
PathLike = Union[str, os.PathLike[str]]

class TavrinError(Exception):
    reason: str
    message: str
    def __init__(self, reason: str, message: str) -> None: ...

class FileError(TavrinError): ...

class UpdateError(TavrinError):
    result: Result
    results: List[Result]
    def __init__(self, result: Result, results: Optional[List[Result]] = ...) -> None: ...

class Interrupted(KeyboardInterrupt):
    reason: str
    message: str
    result: Result
    results: List[Result]
    def __init__(self, result: Result, results: Optional[List[Result]] = ...) -> None: ...

class Interface:
    node: str
    path: str
    product: str
    port: str
    serial: str
    match: str
    vendor_id: int
    product_id: int
    access_denied: bool

class FileInfo:
    format: str
    length: int
    image_crc: int
    check_word: int
    protocol_mask: int
    protocol_selection: int
    model: str
    version: str
    sha256: str
    image_sha256: str

class DeviceVersion:
    path: str
    port: str
    serial: str
    mode: str
    ok: bool
    reason: str
    model: str
    version: str

class Result:
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

class Progress:
    port: str
    state: int
    state_name: str
    offset: int
    length: int

ProgressCallback = Callable[[Progress], None]
MessageCallback = Callable[[str, str], None]

class Simulation:
    def __init__(self, latency_ms: int = ...) -> None: ...
    def add_device(self, model: str = ..., app: Ids = ..., boot: Ids = ...,
                   faults: Sequence[str] = ..., **settings: Union[str, int, bool]) -> int: ...
    def add_bench(self, count: int, model: Optional[str] = ..., app: Ids = ...,
                  boot: Ids = ...) -> None: ...
    def stored_image(self, device_id: int) -> Tuple[bytes, bool]: ...
    def close(self) -> None: ...
    def __enter__(self) -> Simulation: ...
    def __exit__(self, *exc_info: object) -> None: ...

Simulate = Union[None, int, Simulation]

def library_version() -> str: ...
def list_devices(app: Optional[Ids] = ..., boot: Optional[Ids] = ...,
                 simulate: Simulate = ...) -> List[Interface]: ...
def inspect(path: PathLike) -> FileInfo: ...
def read_versions(app: Ids, boot: Optional[Ids] = ..., port: Optional[str] = ...,
                  serial: Optional[str] = ..., simulate: Simulate = ...) -> List[DeviceVersion]: ...

class Update:
    def __init__(self, path: PathLike, app: Ids, boot: Optional[Ids] = ...,
                 port: Optional[str] = ..., serial: Optional[str] = ...,
                 progress: Optional[ProgressCallback] = ..., simulate: Simulate = ...,
                 verbose: bool = ..., messages: Optional[MessageCallback] = ...,
                 all_devices: bool = ..., jobs: int = ...) -> None: ...
    def cancel(self) -> None: ...
    def run(self, cancel: Optional[threading.Event] = ...) -> List[Result]: ...
    def close(self) -> None: ...

def update(path: PathLike, app: Ids, boot: Optional[Ids] = ..., port: Optional[str] = ...,
           serial: Optional[str] = ..., progress: Optional[ProgressCallback] = ...,
           simulate: Simulate = ..., verbose: bool = ...,
           messages: Optional[MessageCallback] = ...,
           cancel: Optional[threading.Event] = ...) -> Result: ...
def update_all(path: PathLike, app: Ids, boot: Optional[Ids] = ..., jobs: int = ...,
               progress: Optional[ProgressCallback] = ..., simulate: Simulate = ...,
               verbose: bool = ..., messages: Optional[MessageCallback] = ...,
               cancel: Optional[threading.Event] = ...) -> List[Result]: ...
