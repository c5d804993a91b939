import os
from typing import Any, Callable, Iterable, Literal, Mapping, Optional, Tuple, Union

__version__: str

_Path = Union[str, os.PathLike[str]]
_TargetRef = Union["Target", str]
_Text = Union[str, bytes]
Progress = Callable[[str, str, str, int, int], object]

class Error(Exception): ...

class ScriptError(Error):
    file: Optional[str]
    line: Optional[int]

class NetworkError(Error): ...
class RunError(Error): ...
class RefusedError(Error): ...
class NotFoundError(Error): ...
class UsageError(Error, ValueError): ...

class Target:
    def __init__(
        self,
        mac: str,
        ip: Optional[str] = None,
        vendor: int = 0,
        product: int = 0,
        staging: int = 0,
        product_name: Optional[str] = None,
    ) -> None: ...
    @property
    def mac(self) -> str: ...
    @property
    def ip(self) -> Optional[str]: ...
    @property
    def vendor(self) -> int: ...
    @property
    def product(self) -> int: ...
    @property
    def staging(self) -> int: ...
    @property
    def product_name(self) -> Optional[str]: ...
    def __eq__(self, other: object) -> bool: ...
    def __lt__(self, other: "Target") -> bool: ...
    def __hash__(self) -> int: ...

class RunResult:
    @property
    def mac(self) -> str: ...
    @property
    def ok(self) -> bool: ...
    @property
    def outcome(self) -> Literal["finished", "current", "failed", "cancelled", "timed_out", "refused"]: ...
    @property
    def error(self) -> Optional[str]: ...
    @property
    def seconds(self) -> float: ...
    @property
    def restart_confirmed(self) -> Optional[bool]: ...
    @property
    def bytes_sent(self) -> int: ...
    @property
    def resends(self) -> int: ...
    def __bool__(self) -> bool: ...

class Environment:
    @property
    def mac(self) -> str: ...
    @property
    def address(self) -> int: ...
    @property
    def length(self) -> int: ...
    @property
    def state(self) -> Literal["valid", "blank", "damaged"]: ...
    @property
    def variables(self) -> dict[str, str]: ...

class EnvironmentDiff:
    @property
    def same(self) -> bool: ...
    @property
    def state(self) -> Literal["valid", "blank", "damaged"]: ...
    @property
    def added(self) -> dict[str, str]: ...
    @property
    def removed(self) -> dict[str, str]: ...
    @property
    def changed(self) -> dict[str, Tuple[str, str]]: ...
    def __bool__(self) -> bool: ...

class LintWarning:
    @property
    def line(self) -> int: ...
    @property
    def text(self) -> str: ...

class Script:
    def __init__(self, path: _Path, *, allow_unsigned: bool = False) -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def sha256(self) -> str: ...
    @property
    def products(self) -> dict[Tuple[int, int], str]: ...
    @property
    def scripts(self) -> dict[Tuple[int, int], str]: ...
    @property
    def directives(self) -> list[Tuple[str, dict[str, Any]]]: ...
    @property
    def warnings(self) -> list[LintWarning]: ...

_ScriptRef = Union[Script, _Path]

class Network:
    def __init__(
        self,
        *,
        broadcast: Optional[str] = None,
        interface: Optional[str] = None,
        range: Optional[str] = None,
        rate: int = ...,
    ) -> None: ...
    def __enter__(self) -> "Network": ...
    def __exit__(self, *exc: object) -> bool: ...
    def close(self) -> None: ...
    @property
    def closed(self) -> bool: ...
    def discover(self, *, wait: float = 1.0, script: Optional[_ScriptRef] = None) -> list[Target]: ...
    def assign(
        self, mac: _TargetRef, ip: str, *, verify: bool = True, force: bool = False, wait: float = 1.0
    ) -> str: ...
    def run(
        self,
        script: _ScriptRef,
        targets: Union[_TargetRef, Iterable[_TargetRef]],
        *,
        pace: Literal["fast", "tick"] = "fast",
        verify: bool = False,
        silence: float = 30.0,
        write_silence: float = 600.0,
        timeout: Optional[float] = None,
        progress: Optional[Progress] = None,
        rewrite_damaged_env: bool = False,
        jobs: int = 0,
        force: bool = False,
        wait: float = 1.0,
        skip_if_current: bool = False,
    ) -> list[RunResult]: ...
    def env_show(
        self,
        mac: _TargetRef,
        *,
        at: Optional[int] = None,
        length: Optional[int] = None,
        script: Optional[_ScriptRef] = None,
        wait: float = 1.0,
        timeout: Optional[float] = None,
    ) -> Environment: ...
    def env_set(
        self,
        mac: _TargetRef,
        values: Union[Mapping[_Text, _Text], Iterable[Tuple[_Text, _Text]]],
        *,
        at: Optional[int] = None,
        length: Optional[int] = None,
        script: Optional[_ScriptRef] = None,
        wait: float = 1.0,
        timeout: Optional[float] = None,
        rewrite_damaged_env: bool = False,
    ) -> bool: ...
    def env_backup(
        self,
        mac: _TargetRef,
        path: _Path,
        *,
        at: Optional[int] = None,
        length: Optional[int] = None,
        script: Optional[_ScriptRef] = None,
        wait: float = 1.0,
        timeout: Optional[float] = None,
    ) -> Environment: ...
    def env_restore(
        self,
        mac: _TargetRef,
        path: _Path,
        *,
        at: Optional[int] = None,
        length: Optional[int] = None,
        script: Optional[_ScriptRef] = None,
        wait: float = 1.0,
        timeout: Optional[float] = None,
        rewrite_damaged_env: bool = False,
    ) -> bool: ...
    def env_diff(
        self,
        mac: _TargetRef,
        path: _Path,
        *,
        at: Optional[int] = None,
        length: Optional[int] = None,
        script: Optional[_ScriptRef] = None,
        wait: float = 1.0,
        timeout: Optional[float] = None,
    ) -> EnvironmentDiff: ...
    def provision(
        self,
        script: _ScriptRef,
        *,
        addresses: Optional[str] = None,
        address_map: Optional[_Path] = None,
        unit_values: Optional[_Path] = None,
        jobs: int = 4,
        record: Optional[_Path] = None,
        count: Optional[int] = None,
        idle: Optional[float] = None,
        product: Optional[str] = None,
        force: bool = False,
        readdress: bool = False,
        wait: float = 3.0,
        retries: int = 0,
        again: bool = False,
        retry_failed: bool = False,
        csv: Optional[_Path] = None,
        pace: Literal["fast", "tick"] = "fast",
        silence: float = 30.0,
        write_silence: float = 600.0,
        verify: bool = True,
        allow_warnings: bool = False,
        progress: Optional[Progress] = None,
        on_unit: Optional[Callable[[dict[str, Any]], object]] = None,
        on_note: Optional[Callable[[str], object]] = None,
    ) -> dict[str, Any]: ...
