# SPDX-License-Identifier: MIT
"""orvex: orvexconf's operations for Python programs.

Parameter files and block images, firmware images and serial ports, with
the checks and the words of the command-line tool orvexconf::

    import orvex

    params = orvex.load_rop("rover7.rop")
    params["HostBaud"] = 4                 # checked as the tool checks it
    orvex.save_rop(params, "rover7-fast.rop", replace=True)
    info = orvex.inspect_image("new.mot")  # the summary orvexconf -n prints
    print(info.format, info.sha256)

Every failure raises an `Error` whose subclass stands for the exit status
orvexconf ends with for the same failure (`UsageError` 1, `ConnectError`
2, `ReadError` 3, `UploadError` 4 and 5, `FirmwareIdentityError` 6,
`ArgumentError` 7, `WriteError` 8, `SaveError` 9, `Interrupted` 128 + n);
its `message` is the tool's own text.

Nothing is printed: the library's log goes nowhere until the program asks
for it with `set_log` (a function, or a `logging.Logger`).
"""

from __future__ import annotations

import atexit
import collections.abc
import dataclasses
import enum
import json
import logging
import os
import threading
import weakref
from typing import Any, Callable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from . import _orvex

__all__ = [
    "__version__", "Error", "UsageError", "ConnectError", "ReadError", "UploadError",
    "FirmwareIdentityError", "ArgumentError", "UnknownKeywordError", "WriteError", "SaveError",
    "Interrupted", "LogLevel", "set_log", "Parameters", "ParameterInfo", "Problem", "Change",
    "ImageInfo", "ImageBlock", "SerialPort", "load_rop", "load_block", "parameters_from_block",
    "save_rop", "inspect_image", "list_ports", "check_port", "keywords", "connect", "Controller",
    "Identity", "WriteResult", "UploadResult", "Changes",
]

__version__: str = _orvex.version()

PathLike = Union[str, "os.PathLike[str]"]

# --- Exceptions -------------------------------------------------------------


class Error(Exception):
    """A failure of an orvex operation.

    status:  the exit status orvexconf ends with for the same failure.
    message: what failed, in the tool's own words (one line each).
    report:  the run report (a dict of the "orvexconf-report/1" schema, as
             `orvexconf --report` writes it) for an operation on a
             controller; None for one without a controller.
    file, line: the file the failure is about and its line (from 1), or
             None when it has none.
    log:     every line the operation logged, as (LogLevel, text) pairs.
    """

    #: The exit statuses this class stands for.
    statuses: Tuple[int, ...] = ()

    def __init__(self, message: str, status: Optional[int] = None, *,
                 report: Optional[dict] = None, file: Optional[str] = None,
                 line: Optional[int] = None,
                 log: Sequence[Tuple["LogLevel", str]] = ()) -> None:
        super().__init__(message)
        self.status: int = status if status is not None else (self.statuses or (1,))[0]
        self.message: str = message
        self.report: Optional[dict] = report
        self.file: Optional[str] = file or None
        self.line: Optional[int] = line or None
        self.log: List[Tuple[LogLevel, str]] = list(log)
        #: What the operation did before it failed (a WriteResult or an
        #: UploadResult), or None.
        self.result: Any = None

    @property
    def status_name(self) -> str:
        """The status's name in the run report, e.g. "flash-write"."""
        return _orvex.status_name(self.status)

    def __str__(self) -> str:
        return self.message

    def __repr__(self) -> str:
        return f"{type(self).__name__}(status={self.status}, message={self.message!r})"


class UsageError(Error):
    """Status 1: a bad option or argument of the call (e.g. a load address
    that is none, a port URL that is not valid)."""
    statuses = (1,)


class ConnectError(Error):
    """Status 2: the port could not be opened or no controller answered."""
    statuses = (2,)


class ReadError(Error):
    """Status 3: reading the FLASH parameter block failed, or a parameter
    file or block image could not be read whole (or refused a value)."""
    statuses = (3,)


class UploadError(Error):
    """Status 4 or 5: a firmware image is unsound, or its upload failed."""
    statuses = (5, 4)


class FirmwareIdentityError(Error):
    """Status 6: the controller runs firmware other than ORVEX."""
    statuses = (6,)


class ArgumentError(Error, ValueError):
    """Status 7: an unknown keyword or a value refused (out of range, not an
    integer, a text that cannot be stored), with the tool's text, e.g.
    "Value for HostBaud must be an integer <= 4."."""
    statuses = (7,)


class UnknownKeywordError(ArgumentError, KeyError):
    """Status 7: a keyword no parameter table knows, e.g. "Unknown keyword
    'HostBuad' (did you mean 'HostBaud'?).". Also a KeyError, so that
    `params.get(...)` and `in` work as on any mapping.

    suggestion: the nearest known keyword, or None.
    """
    statuses = (7,)

    def __init__(self, message: str, status: Optional[int] = None, *,
                 suggestion: Optional[str] = None, **kwargs: Any) -> None:
        super().__init__(message, status, **kwargs)
        self.suggestion: Optional[str] = suggestion

    def __str__(self) -> str:  # KeyError would quote the message
        return self.message


class WriteError(Error):
    """Status 8: writing the FLASH parameter block failed (the block may be
    erased or partly written; rescue files were saved), or it was refused
    with nothing written.

    refused: True when nothing was written (no backup could be saved, an
             earlier write to this controller never finished, ...).
    """
    statuses = (8,)

    def __init__(self, message: str, status: Optional[int] = None, *,
                 refused: bool = False, **kwargs: Any) -> None:
        super().__init__(message, status, **kwargs)
        self.refused: bool = refused


class SaveError(Error):
    """Status 9: a file could not be saved."""
    statuses = (9,)


class Interrupted(Error):
    """Status 128 + n: a signal stopped the operation once the work that
    must not be cut was done.

    signal: the signal's number.
    """

    @property
    def signal(self) -> int:
        return self.status - 128


_CLASSES = {status: cls for cls in (UsageError, ConnectError, ReadError, UploadError,
                                    FirmwareIdentityError, ArgumentError, WriteError, SaveError)
            for status in cls.statuses}


def _error_class(status: int) -> type:
    if status >= 128:
        return Interrupted
    return _CLASSES.get(status, Error)


# --- The log ----------------------------------------------------------------


class LogLevel(enum.IntEnum):
    """How much a log line matters: TERSE lines are the tool's errors,
    refusals and the advice on them, NORMAL ones its progress and
    summaries, VERBOSE ones the details."""
    TERSE = 0
    NORMAL = 1
    VERBOSE = 2


_PYTHON_LEVELS = {LogLevel.TERSE: logging.WARNING, LogLevel.NORMAL: logging.INFO,
                  LogLevel.VERBOSE: logging.DEBUG}


class _Log:
    """Hands the lines the library logged to the program's function, from
    Python and holding no lock of the library: after every call of this
    module on the caller's thread (so a call's lines have arrived when it
    returns), and meanwhile from a thread of its own (so that the lines of a
    long transfer arrive while it runs)."""

    def __init__(self) -> None:
        self.function: Optional[Callable[[LogLevel, str], None]] = None
        self.delivering = threading.RLock()
        self.thread: Optional[threading.Thread] = None
        self.stop = threading.Event()

    def deliver(self) -> None:
        # Taken and handed on under one lock, so that lines keep their order
        # whichever thread hands them on.
        with self.delivering:
            lines, dropped = _orvex.log_take()
            function = self.function
            if function is None:
                return
            for level, text in lines:
                function(LogLevel(level), text)
            if dropped:
                function(LogLevel.TERSE, f"{dropped} log lines were dropped.")

    def run(self) -> None:
        while not self.stop.is_set():
            if _orvex.log_wait(0.2):
                self.deliver()

    def set(self, function: Optional[Callable[[LogLevel, str], None]], level: LogLevel) -> None:
        self.end_thread()
        with self.delivering:
            _orvex.log_route(False, 0)
            _orvex.log_take()  # lines meant for the function before
            self.function = function
            if function is None:
                return
            _orvex.log_route(True, int(level))
        self.stop.clear()
        self.thread = threading.Thread(target=self.run, name="orvex-log", daemon=True)
        self.thread.start()

    def end_thread(self) -> None:
        if self.thread is not None:
            self.stop.set()
            _orvex.log_wake()
            self.thread.join(timeout=2.0)
            self.thread = None

    def shutdown(self) -> None:
        self.end_thread()
        self.deliver()
        _orvex.log_route(False, 0)


_log = _Log()
atexit.register(_log.shutdown)


def set_log(function: Union[None, logging.Logger, Callable[[LogLevel, str], None]],
            level: Union[LogLevel, int, str] = LogLevel.NORMAL) -> None:
    """Routes the library's log lines up to `level` to `function`.

    function: called as function(level: LogLevel, line: str) for each line;
              or a logging.Logger, which gets TERSE lines as WARNING, NORMAL
              as INFO, VERBOSE as DEBUG; or None (the default): nothing is
              logged anywhere, nothing is printed.
    level:    LogLevel.TERSE, NORMAL or VERBOSE (or "terse", "normal",
              "verbose").

    The function is called from Python, never under a lock of the library:
    it may call this module. The lines of a call have all been handed over
    when the call returns; during a long transfer they come as they are
    logged, from a thread of the module.
    """
    if isinstance(level, str):
        try:
            level = LogLevel[level.upper()]
        except KeyError:
            raise UsageError(f"Unknown log level '{level}': give terse, normal or verbose.") from None
    level = LogLevel(level)
    if isinstance(function, logging.Logger):
        logger = function

        def function(line_level: LogLevel, text: str) -> None:
            logger.log(_PYTHON_LEVELS[line_level], "%s", text)
    elif function is not None and not callable(function):
        raise UsageError("set_log takes a function, a logging.Logger or None.")
    _log.set(function, level)


# --- Outcomes ---------------------------------------------------------------


def _raise(outcome: Any, *, report: Optional[dict] = None, result: Any = None,
           **extra: Any) -> None:
    """Raises the exception of a failed outcome of the compiled module."""
    status = outcome.status
    cls = _error_class(status)
    log = [(LogLevel(level), text) for level, text in outcome.log]
    message = outcome.message.rstrip("\n") or _orvex.status_name(status)
    if cls is WriteError:
        extra["refused"] = bool(getattr(outcome, "refused", False))
    error = cls(message, status, report=report, file=outcome.file, line=outcome.line, log=log,
                **extra)
    error.result = result
    raise error


def _done(outcome: Any, **extra: Any) -> None:
    _log.deliver()
    if outcome.status != 0:
        _raise(outcome, **extra)


# --- Parameters -------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class ParameterInfo:
    """What one parameter is: its keyword and alias, table ("robot", "arm"
    or "power"), description, whether it is a text, and its bounds (None
    where there is none) or, for a text, the characters it holds."""
    keyword: str
    alias: Optional[str]
    table: str
    description: str
    text: bool
    minimum: Optional[int]
    maximum: Optional[int]
    size: int


@dataclasses.dataclass(frozen=True)
class Problem:
    """A line of a parameter file that was not taken: its line (None when the
    source has no lines), keyword and value as written, the reason
    ("unknown keyword", "out of range", "not an integer", ...), the nearest
    known keyword of an unknown one, and the sentence the tool logs."""
    line: Optional[int]
    keyword: str
    value: str
    reason: str
    suggestion: Optional[str]
    message: str


@dataclasses.dataclass(frozen=True)
class Change:
    """A parameter a write changes (or changed, or would change).

    keyword, table: the parameter.
    old, new:       its values (int, or str for a text).
    line:           as the tool lists it, e.g. "Name: 'R1' -> 'R2'".
    """
    keyword: str
    table: str
    old: Union[int, str]
    new: Union[int, str]
    line: str

    def __str__(self) -> str:
        return self.line


def _typed(text: str, is_text: bool) -> Union[int, str]:
    if is_text:
        return text
    try:
        return int(text, 10)
    except ValueError:
        return text


def _change(change: Any) -> Change:
    return Change(change.keyword, change.table, _typed(change.before, change.text),
                  _typed(change.after, change.text), change.line)


class Parameters(collections.abc.Mapping):
    """One set of the controller's parameters: a mapping keyword -> value
    (int, or str for a text), in table order, of the parameters it holds.

    Keys are the tables' keywords in any letter case, aliases included:
    `params["name"]` is `params["Name"]`. Setting a value checks it as the
    tool does and raises ArgumentError with the tool's text when it is
    refused (the set is then as it was); a text longer than its field is
    stored cut, as the tool stores it. A keyword no table knows raises
    UnknownKeywordError (also a KeyError) naming the nearest one.

    Parameters() is an empty set; load_rop, load_block and
    parameters_from_block read one; Controller.read() reads the
    controller's.
    """

    #: For a set read from a controller: the run report of the read (a
    #: dict), the SHA-256 of the 4096 bytes read and whether they were
    #: erased; None otherwise.
    report: Optional[dict] = None
    sha256: Optional[str] = None
    erased: Optional[bool] = None

    def __init__(self, source: Optional["Parameters"] = None) -> None:
        if source is None:
            self._set = _orvex.Parameters()
        else:
            self._set = _orvex.Parameters(source._set)

    @classmethod
    def _of(cls, native: Any) -> "Parameters":
        params = cls.__new__(cls)
        params._set = native
        return params

    # The table: keyword -> (canonical keyword, is a text), aliases and
    # every letter case included.
    def _entry(self, keyword: str) -> Tuple[str, bool]:
        if not isinstance(keyword, str):
            raise TypeError(f"a keyword is a str, not {type(keyword).__name__}")
        index = _keyword_index()
        found = index.get(keyword.lower())
        if found is None:
            probe = Parameters()
            outcome = probe._set.set(keyword, "0")
            _log.deliver()
            message = outcome.message.rstrip("\n") or f"Unknown keyword '{keyword}'."
            suggestion = None
            if "(did you mean '" in message:
                suggestion = message.split("(did you mean '", 1)[1].split("'", 1)[0]
            raise UnknownKeywordError(message, 7, suggestion=suggestion)
        return found

    @property
    def source(self) -> str:
        """The file read, or what the set was named; "" for a new set."""
        return self._set.source

    @property
    def format(self) -> str:
        """"rop", "block", "json" or "yaml": the kind of source read."""
        return self._set.format

    @property
    def problems(self) -> List[Problem]:
        """The lines of the source that were not taken, in order."""
        return [Problem(p.line or None, p.keyword, p.value, p.reason, p.suggestion or None,
                        p.message) for p in self._set.problems()]

    def __getitem__(self, keyword: str) -> Union[int, str]:
        name, is_text = self._entry(keyword)
        if not self._set.has(name):
            raise KeyError(name)
        return _typed(self._set.get(name), is_text)

    def __setitem__(self, keyword: str, value: Union[int, str]) -> None:
        self.set(keyword, value)

    def set(self, keyword: str, value: Union[int, str]) -> None:
        """Sets one parameter with the tool's checks (see the class)."""
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise ArgumentError(
                f"Value for {keyword} must be an int or a str, not {type(value).__name__}.", 7)
        self._entry(keyword)
        outcome = self._set.set(keyword, str(value))
        _done(outcome)

    def update(self, other: Union[Mapping[str, Union[int, str]], Sequence[Tuple[str, Any]]] = (),
               **values: Union[int, str]) -> None:
        """Sets several parameters, in order, each as set() does. The first
        refused raises; those before it stay set."""
        pairs = other.items() if isinstance(other, collections.abc.Mapping) else other
        for keyword, value in list(pairs) + list(values.items()):
            self.set(keyword, value)

    def __iter__(self) -> Iterator[str]:
        for parameter in self._set.list():
            if parameter.held:
                yield parameter.keyword

    def __len__(self) -> int:
        return sum(1 for parameter in self._set.list() if parameter.held)

    def __contains__(self, keyword: object) -> bool:
        if not isinstance(keyword, str):
            return False
        found = _keyword_index().get(keyword.lower())
        return found is not None and self._set.has(found[0])

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Parameters):
            return self.block() == other.block() and dict(self) == dict(other)
        return super().__eq__(other)

    __hash__ = None  # type: ignore[assignment]

    def __copy__(self) -> "Parameters":
        return Parameters(self)

    def copy(self) -> "Parameters":
        """A copy that changes apart from this set."""
        return Parameters(self)

    def block(self) -> bytes:
        """The parameters as the 4096 bytes of a FLASH parameter block (the
        source's own block under them when it was one)."""
        return self._set.block()

    def changes_to(self, other: "Parameters") -> List[Change]:
        """The parameters whose values differ from this set to other, in
        table order, as a write from this set to other lists them."""
        return [_change(change) for change in self._set.changes_to(other._set)]

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={v!r}" for k, v in list(self.items())[:4])
        more = f", ... ({len(self)} parameters)" if len(self) > 4 else ""
        return f"<orvex.Parameters {self.source or 'new'!r}: {shown}{more}>"


_KEYWORDS: Optional[dict] = None
_INFOS: Optional[List[ParameterInfo]] = None


def _keyword_index() -> dict:
    global _KEYWORDS
    if _KEYWORDS is None:
        index = {}
        for parameter in _orvex.Parameters().list():
            entry = (parameter.keyword, parameter.text)
            index.setdefault(parameter.keyword.lower(), entry)
            if parameter.alias:
                index.setdefault(parameter.alias.lower(), entry)
        _KEYWORDS = index
    return _KEYWORDS


def keywords() -> List[ParameterInfo]:
    """Every parameter of every table, in table order: what it is and what
    it takes."""
    global _INFOS
    if _INFOS is None:
        _INFOS = [ParameterInfo(p.keyword, p.alias or None, p.table, p.description, p.text,
                                None if p.text or p.minimum == -1 else p.minimum,
                                None if p.text or p.maximum == -1 else p.maximum, p.size)
                  for p in _orvex.Parameters().list()]
    return list(_INFOS)


def _path(path: PathLike) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        raise UsageError("A path is a str or an os.PathLike of a str.")
    if "\0" in text:
        raise UsageError(f"The path {text!r} holds a NUL character.")
    return text


def load_rop(path: PathLike) -> Parameters:
    """Reads a parameter file, in the format its name stands for: a
    parameter file (.rop, or any other name), a block image (.blk), an
    export (.json, .yaml).

    Raises ReadError (status 3, as orvexconf -r) when it cannot be read or
    a line holds a value refused; the error's file and line name it.
    Unknown keywords are no failure: they are in `.problems`, and a save
    writes their lines back.
    """
    outcome, params = _orvex.load_parameters(_path(path))
    _done(outcome)
    return Parameters._of(params)


def load_block(path: PathLike) -> Parameters:
    """Reads a block image (4096 raw bytes, or 4095: a backup, a rescue file,
    -restoreBlock's input) whatever its name. ReadError when it cannot be
    read or is no block image."""
    outcome, params = _orvex.read_block_image(_path(path))
    _done(outcome)
    return Parameters._of(params)


def parameters_from_block(block: bytes, source: str = "block") -> Parameters:
    """The parameters of a block held in memory (4096 or 4095 bytes, as read
    from a controller); source names it in messages. ReadError when it is
    no block."""
    outcome, params = _orvex.parameters_from_block(bytes(block), source)
    _done(outcome)
    return Parameters._of(params)


def save_rop(params: Union[Parameters, Mapping[str, Union[int, str]]], path: PathLike, *,
             replace: bool = False) -> None:
    """Saves parameters in the format the name stands for: a parameter file
    as orvexconf -s writes it (any name but those below), a block image
    (.blk), an export (.json, .yaml).

    params:  a Parameters, or a mapping keyword -> value (checked as
             Parameters checks it, ArgumentError when refused).
    replace: an existing file is replaced only when True. A symbolic link
             is never written through; the file is written whole beside
             its name and put in place.
    Raises SaveError (status 9) when it could not be saved.
    """
    if not isinstance(params, Parameters):
        built = Parameters()
        built.update(params)
        params = built
    _done(_orvex.save_parameters(params._set, _path(path), bool(replace)))


# --- Firmware images --------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class ImageBlock:
    """A FLASH block an upload erases and writes: its number (0 to 11), its
    first address, its size, and the address after the last byte the image
    puts in it."""
    index: int
    start: int
    size: int
    end: int


@dataclasses.dataclass(frozen=True)
class ImageInfo:
    """What a firmware image holds, as orvexconf shows it before an upload.

    format: "Motorola S-records", "Intel HEX" or "raw binary".
    ranges: the addresses given, as (first, end) pairs, end exclusive.
    blocks: the FLASH blocks an upload erases and writes.
    sha256: of the bytes an upload writes (the digest the tool prints and
            reports).
    summary: the lines the tool prints ("Image '...': ...", ...).
    """
    file: str
    format: str
    ranges: List[Tuple[int, int]]
    blocks: List[ImageBlock]
    sha256: str
    summary: List[str]


def _base(base: Union[None, int, str]) -> int:
    if base is None:
        return _orvex.NO_BASE
    text = base if isinstance(base, str) else None
    if isinstance(base, str):
        try:
            base = int(base, 16)
        except ValueError:
            base = -1
    if isinstance(base, bool) or not isinstance(base, int) or not 0 <= base < 0x40000:
        shown = text if text is not None else (hex(base) if isinstance(base, int) else repr(base))
        raise UsageError(f"'{shown}' is not a load address for --base: give hexadecimal digits "
                         "below 0x40000, e.g. --base 0x8000.", 1)
    return base


def inspect_image(path: PathLike, base: Union[None, int, str] = None) -> ImageInfo:
    """Reads and checks a firmware image as an upload would, sending nothing:
    S-records, Intel HEX, or a raw binary image (a name ending in .bin),
    which needs its load address `base` (an int, or hexadecimal text such
    as "0x8000").

    Raises UploadError (status 5, as orvexconf -n -b -u) when it cannot be
    read or is unsound, with the file and line at fault; UsageError for a
    base that is no load address.
    """
    outcome, info = _orvex.inspect_image(_path(path), _base(base))
    _done(outcome)
    return ImageInfo(info.file, info.format, [(r.first, r.end) for r in info.ranges],
                     [ImageBlock(b.index, b.start, b.size, b.end) for b in info.blocks],
                     info.sha256, list(info.summary))


# --- Serial ports -----------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class SerialPort:
    """A serial port of this computer (orvexconf --list-ports). The USB
    fields are "" for a port not on USB; by_id is its stable
    /dev/serial/by-id/ name, the one to give to connect()."""
    device: str
    by_id: str
    vendor_id: str
    product_id: str
    manufacturer: str
    product: str
    serial: str
    line: str

    def __str__(self) -> str:
        return self.line


def list_ports(dev_root: PathLike = "/dev", sys_root: PathLike = "/sys") -> List[SerialPort]:
    """The serial ports present, sorted by device, without opening any
    (orvexconf --list-ports). dev_root and sys_root stand for /dev and
    /sys. None found is no failure."""
    ports = _orvex.list_serial_ports(_path(dev_root), _path(sys_root))
    _log.deliver()
    return [SerialPort(p.device, p.by_id, p.vendor_id, p.product_id, p.manufacturer, p.product,
                       p.serial, p.line) for p in ports]


def check_port(port: str) -> None:
    """Opens the port as a run would (a device path, a by-id name, or a
    URL of a port across the network) and closes it, sending nothing.
    ConnectError with the tool's advice (the ports present, the group to
    join, the program holding it) when it cannot be opened; UsageError for
    a URL that is not valid. Opening a serial port raises its modem lines,
    as any open does."""
    _done(_orvex.check_port(_path(port)))


# --- Controllers ------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Identity:
    """Which firmware the controller runs.

    verdict: "known" (ORVEX firmware this version knows), "newer",
             "unidentified" (no reply, or an old monitor) or "not-orvex".
    reply:   the identity reply as the log shows it ("" when none came).
    """
    verdict: str
    monitor_version: Optional[str]
    firmware_name: Optional[str]
    firmware_version: Optional[str]
    reply: str


class Changes(list):
    """The Change list of a check, in table order, with its run report
    (`report`: exit status 10 when something would change) and `changed`
    (any byte would change: a block image may differ after its
    parameters)."""
    report: Optional[dict] = None
    changed: bool = False


@dataclasses.dataclass(frozen=True)
class WriteResult:
    """What a write did.

    changes:   the parameters it changed, in table order.
    changed:   something differed, so the block was written.
    verified:  the block read back holds what was written.
    backup:    the backup of the block before the erase (a .blk file of the
               backup store), None when nothing was erased.
    sha256_before, sha256_after: of the block before and after.
    rescue_files: what a failed write left to put the block right.
    report:    the run report, as `orvexconf -b --report` writes it.
    """
    changes: List[Change]
    changed: bool
    verified: bool
    backup: Optional[str]
    sha256_before: Optional[str]
    sha256_after: Optional[str]
    rescue_files: List[str]
    report: dict


@dataclasses.dataclass(frozen=True)
class UploadResult:
    """What an upload (or with check=True, a comparison) did.

    blocks_written:   FLASH blocks written and verified.
    blocks_differing: with check=True, the blocks that differ from the image.
    verified:         the blocks written were read back.
    state:            "written", "failed", "stopped" or "checked".
    image:            the image's ImageInfo.
    report:           the run report, as `orvexconf -b --report` writes it.
    """
    blocks_written: int
    blocks_differing: List[int]
    verified: bool
    state: str
    image: ImageInfo
    report: dict


def _report(result: Any) -> Optional[dict]:
    return json.loads(result.report) if result.report else None


def _image(info: Any) -> ImageInfo:
    return ImageInfo(info.file, info.format, [(r.first, r.end) for r in info.ranges],
                     [ImageBlock(b.index, b.start, b.size, b.end) for b in info.blocks],
                     info.sha256, list(info.summary))


_VALUES, _PARAMETER_FILE, _BLOCK_IMAGE = 0, 1, 2


class Controller:
    """One controller on one port, driven as `orvexconf -b` drives it, with
    every safeguard of the command line: before every erase of the
    parameter block a backup of it and a journal entry are safely on the
    disk (or nothing is erased), every write is read back, a failed one
    leaves rescue files. Made by connect(); a context manager that closes
    the monitor ("FK") and lets go of the port on exit, also when an
    exception leaves the block.

    identity: the controller's Identity.
    warnings: what the connection warned of (an earlier write to this
              controller that never finished, a caution about its firmware).
    report:   the run report of the connection.

    Each operation returns its result with the run report a command-line
    run doing the same would write (connect, read, then that operation),
    or raises the Error of the exit status that run would end with. The
    interpreter lock is let go while it talks to the controller; one
    operation at a time per controller, several controllers in several
    threads at once.
    """

    def __init__(self) -> None:
        raise TypeError("use orvex.connect(port) to make a Controller")

    @classmethod
    def _connect(cls, port: str, robot_baud: int, backup_dir: Optional[PathLike],
                 verify: bool, dismiss_unfinished: bool) -> "Controller":
        if isinstance(robot_baud, bool) or not isinstance(robot_baud, int) or robot_baud <= 0:
            raise UsageError(f"Bad robot baud rate '{robot_baud}': give a positive integer.", 1)
        self = cls.__new__(cls)
        self._native = _orvex.Controller()
        _open_controllers.add(self)
        self._verify = bool(verify)
        self.port = _path(port)
        result = self._native.connect(self.port, robot_baud,
                                      "" if backup_dir is None else _path(backup_dir),
                                      self._verify, bool(dismiss_unfinished))
        self.report: Optional[dict] = _report(result)
        _done(result, report=self.report)
        native = self._native.identity
        self.identity = Identity(native.verdict, native.monitor_version or None,
                                 native.firmware_name or None, native.firmware_version or None,
                                 native.reply)
        self.warnings: List[str] = list(self._native.warnings)
        return self

    @property
    def connected(self) -> bool:
        """True until close()."""
        return self._native.connected

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "connected" if self.connected else "closed"
        return f"<orvex.Controller {self.port!r} {state}, {self.identity.verdict} firmware>"

    def read(self) -> Parameters:
        """Reads the parameter block again (a confirmed read: two replies
        that agree) and gives its parameters; `.report`, `.sha256` and
        `.erased` of the set tell the rest. ReadError when it fails."""
        result = self._native.read()
        report = _report(result)
        _done(result, report=report)
        params = Parameters._of(result.parameters)
        params.report, params.sha256, params.erased = report, result.sha256, result.erased
        return params

    def _target(self, changes: Any, rop: Optional[PathLike], block: Optional[PathLike]):
        given = [name for name, value in (("changes", changes), ("rop", rop), ("block", block))
                 if value is not None]
        if len(given) != 1:
            raise UsageError("Give one of changes, rop= and block=, not "
                             f"{' and '.join(given) or 'none'}.", 1)
        if rop is not None:
            return _PARAMETER_FILE, None, _path(rop)
        if block is not None:
            return _BLOCK_IMAGE, None, _path(block)
        if isinstance(changes, Parameters):
            return _VALUES, changes._set, ""
        values = Parameters()
        values.update(changes)  # ArgumentError before anything is sent
        return _VALUES, values._set, ""

    def check(self, changes: Union[None, Parameters, Mapping[str, Union[int, str]]] = None, *,
              rop: Optional[PathLike] = None, block: Optional[PathLike] = None) -> Changes:
        """What writing would change, writing nothing (`orvexconf -b
        --check`): the same arguments as write(). Gives the Change list,
        with `.changed` and `.report` (exit status 10 when something would
        change)."""
        kind, values, file = self._target(changes, rop, block)
        result = self._native.apply(False, kind, values, file)
        report = _report(result)
        _done(result, report=report)
        found = Changes(_change(change) for change in result.changes)
        found.report, found.changed = report, result.changed
        return found

    def write(self, changes: Union[None, Parameters, Mapping[str, Union[int, str]]] = None, *,
              rop: Optional[PathLike] = None, block: Optional[PathLike] = None) -> WriteResult:
        """Writes the parameter block when it changes anything, as
        `orvexconf -b` does, and reads it back.

        changes: a mapping keyword -> value (or a Parameters: the values
                 it holds) applied over the block as read; each is checked
                 first (ArgumentError, nothing sent, when one is refused);
        rop:     a parameter file applied the same way (`-r`);
        block:   a block image written whole (`-restoreBlock`), e.g. a
                 backup.

        WriteError (status 8) when the write failed (the block may be
        erased or partly written: `.result.rescue_files` and the backup
        put it right) or was refused with nothing written (`.refused`: no
        backup could be saved, or an earlier write never finished);
        ReadError when the file cannot be read.
        """
        kind, values, file = self._target(changes, rop, block)
        result = self._native.apply(True, kind, values, file)
        report = _report(result)
        written = WriteResult([_change(change) for change in result.changes], result.changed,
                              result.verified, result.backup or None,
                              result.sha256_before or None, result.sha256_after or None,
                              list(result.rescue_files), report)
        _done(result, report=report, result=written)
        return written

    def upload(self, path: PathLike, *, base: Union[None, int, str] = None,
               verify: Optional[bool] = None, check: bool = False) -> UploadResult:
        """Uploads a firmware image (`orvexconf -b -u`): the image read and
        checked whole first, then each block it touches erased, written and
        (unless verify is False; None: as connect() said) read back. With
        check=True it only reads back those blocks and compares them
        (`--check`), writing nothing: `.blocks_differing`.

        UploadError (status 5) when the image is unsound (with its file and
        line) or the upload failed (`.result.blocks_written`).
        """
        verify = self._verify if verify is None else bool(verify)
        result = self._native.upload(_path(path), _base(base), bool(check), verify)
        report = _report(result)
        uploaded = UploadResult(result.blocks_written, list(result.blocks_differing),
                                result.verified, result.state, _image(result.image), report)
        _done(result, report=report, result=uploaded)
        return uploaded

    def close(self) -> None:
        """Closes the monitor ("FK", after the tool's pause), so the
        controller runs its firmware, and lets go of the port. Closing
        again does nothing."""
        _done(self._native.close())


# Controllers still open when the interpreter ends are closed, so that
# their controllers run their firmware again.
_open_controllers: "weakref.WeakSet[Controller]" = weakref.WeakSet()


def _close_open_controllers() -> None:
    for controller in list(_open_controllers):
        try:
            controller.close()
        except Error:
            pass


atexit.register(_close_open_controllers)


def connect(port: PathLike, *, robot_baud: int = 9600, backup_dir: Optional[PathLike] = None,
            verify: bool = True, dismiss_unfinished: bool = False) -> Controller:
    """Connects to the controller on port (a device path, a
    /dev/serial/by-id/ name, or a URL such as rfc2217://host:4001) as
    `orvexconf -b -rp PORT` does: brings it into its monitor, checks its
    firmware, reads the parameter block and looks in the write journal for
    an earlier write that never finished (`.warnings`).

    robot_baud: the first speed tried for the firmware (-rb).
    backup_dir: the backup store and journal (--backup-dir); None for
                $XDG_STATE_HOME/orvexconf.
    verify:     read every firmware block back after writing it (False:
                --no-verify).
    dismiss_unfinished: close an earlier write or upload to this port that
                never finished without writing anything, once the block on
                the controller is as it should be (--dismiss-unfinished);
                until then writes are refused (WriteError, `.refused`).

    ConnectError (status 2) when the port cannot be opened or no controller
    answers, FirmwareIdentityError (6) for other firmware, ReadError (3)
    when the block cannot be read; each with the run report.

        with orvex.connect("/dev/ttyUSB0") as robot:
            robot.write({"Name": "Rover7"})
    """
    return Controller._connect(_path(port), robot_baud, backup_dir, verify, dismiss_unfinished)
