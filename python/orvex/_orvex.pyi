# SPDX-License-Identifier: MIT
# Types of the compiled part of orvex (python/_orvex.cpp). Programs use the
# package orvex, whose calls are typed in orvex/__init__.py.
from typing import List, Optional, Tuple

NO_BASE: int

def version() -> str: ...
def status_name(status: int) -> str: ...

class Outcome:
    status: int
    message: str
    file: str
    line: int
    log: List[Tuple[int, str]]

class Parameter:
    keyword: str
    alias: str
    table: str
    description: str
    text: bool
    minimum: int
    maximum: int
    size: int
    held: bool
    value: str

class ParameterProblem:
    line: int
    keyword: str
    value: str
    reason: str
    suggestion: str
    message: str

class Change:
    keyword: str
    table: str
    before: str
    after: str
    text: bool
    line: str

class Parameters:
    source: str
    format: str
    def __init__(self, other: "Parameters" = ...) -> None: ...
    def list(self) -> List[Parameter]: ...
    def has(self, keyword: str) -> bool: ...
    def get(self, keyword: str) -> str: ...
    def set(self, keyword: str, value: str) -> Outcome: ...
    def problems(self) -> List[ParameterProblem]: ...
    def block(self) -> bytes: ...
    def changes_to(self, other: "Parameters") -> List[Change]: ...

class AddressRange:
    first: int
    end: int

class ImageBlock:
    index: int
    start: int
    size: int
    end: int

class ImageInfo:
    file: str
    format: str
    ranges: List[AddressRange]
    blocks: List[ImageBlock]
    sha256: str
    summary: List[str]

class SerialPort:
    device: str
    by_id: str
    vendor_id: str
    product_id: str
    manufacturer: str
    product: str
    serial: str
    line: str

def load_parameters(path: str) -> Tuple[Outcome, Parameters]: ...
def read_block_image(path: str) -> Tuple[Outcome, Parameters]: ...
def parameters_from_block(block: bytes, source: str) -> Tuple[Outcome, Parameters]: ...
def save_parameters(parameters: Parameters, path: str, replace: bool) -> Outcome: ...
def inspect_image(path: str, base: int) -> Tuple[Outcome, ImageInfo]: ...
def list_serial_ports(dev_root: str, sys_root: str) -> List[SerialPort]: ...
def check_port(port: str) -> Outcome: ...
def log_route(on: bool, level: int) -> None: ...
def log_wait(timeout: float) -> bool: ...
def log_take() -> Tuple[List[Tuple[int, str]], int]: ...
def log_wake() -> None: ...

class Identity:
    verdict: str
    reply: str
    monitor_version: str
    firmware_name: str
    firmware_version: str

class RunResult(Outcome):
    report: str
    refused: bool

class ReadResult(RunResult):
    parameters: Parameters
    sha256: str
    erased: bool

class WriteResult(RunResult):
    changes: List[Change]
    changed: bool
    verified: bool
    backup: str
    sha256_before: str
    sha256_after: str
    rescue_files: List[str]

class UploadResult(RunResult):
    image: ImageInfo
    blocks_written: int
    verified: bool
    blocks_differing: List[int]
    state: str

class Controller:
    connected: bool
    identity: Identity
    warnings: List[str]
    def __init__(self) -> None: ...
    def connect(self, port: str, robot_baud: int, backup_dir: str, verify: bool,
                dismiss_unfinished: bool) -> RunResult: ...
    def read(self) -> ReadResult: ...
    def apply(self, write: bool, kind: int, values: Optional[Parameters],
              file: str) -> WriteResult: ...
    def upload(self, file: str, base: int, compare: bool, verify: bool) -> UploadResult: ...
    def close(self) -> RunResult: ...
