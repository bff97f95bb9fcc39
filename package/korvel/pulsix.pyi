# Type information for the korvel.pulsix extension module.
from typing import Any

import numpy as np
import numpy.typing as npt

from .sonix import stft as stft, stft_mag as stft_mag

def spectral_novelty(
    x: npt.ArrayLike, fft_len: int, hop_size: int, gamma: float
) -> npt.NDArray[np.float64]: ...
def make_clicks(
    frames: npt.NDArray[np.integer[Any] | np.floating[Any]],
    out_len: int | None = 0,
    click_snd: npt.ArrayLike | None = None,
) -> npt.NDArray[np.float64]: ...
def auto_correlate(x: npt.ArrayLike) -> npt.NDArray[Any]: ...
def make_ac_tempogram(
    x: npt.NDArray[Any], win_len: int, hop_size: int
) -> npt.NDArray[np.float64]: ...
def bpm_to_k(bpm: float, fft_len: int, ff: float) -> int: ...
def best_tempogram_bins(
    tg: npt.NDArray[Any], ff: float, bpm_min: float, bpm_max: float
) -> npt.NDArray[np.intp]: ...
def get_sinusoid_params(
    spec: npt.NDArray[Any], fs: float, bins: npt.NDArray[np.integer[Any]]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def make_local_pulse(
    nov: npt.ArrayLike,
    ff: float,
    bpm_min: float,
    bpm_max: float,
    win_len_tg: int = 256,
    hop_tg: int = 64,
    zp_tg: int = 16,
) -> npt.NDArray[np.float64]: ...
def estimate_bpm(
    nov: npt.ArrayLike, ff: float, bpm_min: float, bpm_max: float
) -> np.float64: ...
def beats_score(
    nov: npt.NDArray[Any],
    beats: npt.NDArray[np.integer[Any]],
    est_period: float,
    lmbda: float = 10,
) -> np.float64: ...

# The beat positions are integer frame indices; when no beat is found they
# are an empty float64 array.
def create_dp_beats(
    nov: npt.ArrayLike, est_period: float, lmbda: float
) -> tuple[npt.NDArray[np.intp] | npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
