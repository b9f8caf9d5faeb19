from os import PathLike
from typing import Literal, Union

import numpy as np
import numpy.typing as npt

__version__: str
max_samples: int
OPERATIONS: dict[str, int]

OperationName = Literal["none", "integrate", "double-integrate", "differentiate"]
Operation = Union[int, OperationName]

class RecordError(ValueError):
    report: list[str]
    line: int

class Waveform:
    x: npt.NDArray[np.float32]
    y: npt.NDArray[np.float32]
    z: npt.NDArray[np.float32]
    dt: float
    header: str
    source: str
    def __init__(self, x: npt.ArrayLike, y: npt.ArrayLike, z: npt.ArrayLike, dt: float,
                 header: str = ..., source: str = ...) -> None: ...
    @property
    def nt(self) -> int: ...

class Spectrum:
    freq: npt.NDArray[np.float32]
    original: npt.NDArray[np.float32]
    smoothed: npt.NDArray[np.float32]
    eas: npt.NDArray[np.float32]
    operation: int
    band: float
    @property
    def nf(self) -> int: ...
    @property
    def df(self) -> float: ...
    @property
    def nom(self) -> int: ...
    @property
    def dur(self) -> float: ...
    @property
    def dom(self) -> float: ...
    @property
    def eom(self) -> float: ...
    @property
    def fmax(self) -> float: ...
    @property
    def band_limits(self) -> tuple[float, float]: ...
    @property
    def metadata(self) -> dict[str, object]: ...
    def to_csv(self, path: Union[str, PathLike[str]], metadata: bool = ...) -> None: ...

def read_waveform(path: Union[str, PathLike[str]]) -> Waveform: ...
def operation_number(operation: Operation) -> int: ...
def analyse(waveform: Waveform, operation: Operation = ..., band: float = ...) -> Spectrum: ...
def konno_ohmachi(freq: npt.ArrayLike, amplitudes: npt.ArrayLike, b: float = ...,
                  frequencies: npt.ArrayLike | None = ...,
                  threads: int | None = ...) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float32]]: ...
def log_spaced(fmin: float, fmax: float, n: int) -> npt.NDArray[np.float64]: ...
