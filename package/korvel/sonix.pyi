# Type information for the korvel.sonix extension module.
from typing import Any, overload

import numpy as np
import numpy.typing as npt

from .framix import calc_num_frames as calc_num_frames

# NumPy's integer scalars are taken wherever a Python int is.
_Int = int | np.integer[Any]

@overload
def freq_to_pitch(f: float) -> np.float64: ...
@overload
def freq_to_pitch(f: npt.NDArray[Any]) -> npt.NDArray[np.floating[Any]]: ...
def stft_mag(
    x: npt.ArrayLike,
    win_len: _Int,
    hop_size: _Int,
    zp_factor: _Int = 1,
) -> npt.NDArray[np.float64]: ...
def stft(
    x: npt.ArrayLike,
    win_len: _Int,
    hop_size: _Int,
    zp_factor: _Int = 1,
    window: npt.ArrayLike | None = None,
    centered: bool = True,
) -> npt.NDArray[np.complex128]: ...
