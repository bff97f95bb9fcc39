# Type information for the korvel.pulsix extension module.
from typing import Any

import numpy as np
import numpy.typing as npt

from .sonix import stft as stft, stft_mag as stft_mag

# NumPy's scalars are taken wherever a Python number is.
_Int = int | np.integer[Any]
_Real = float | np.floating[Any] | np.integer[Any]

def spectral_novelty(
    x: npt.ArrayLike, fft_len: _Int, hop_size: _Int, gamma: _Real
) -> npt.NDArray[np.float64]: ...
def make_clicks(
    frames: npt.NDArray[np.integer[Any] | np.floating[Any]],
    out_len: int | None = 0,
    click_snd: npt.ArrayLike | None = None,
) -> npt.NDArray[np.float64]: ...
def auto_correlate(x: npt.ArrayLike) -> npt.NDArray[Any]: ...
def make_ac_tempogram(
    x: npt.NDArray[Any], win_len: _Int, hop_size: _Int
) -> npt.NDArray[np.float64]: ...
def bpm_to_k(bpm: _Real, fft_len: _Int, ff: _Real) -> int: ...
def best_tempogram_bins(
    tg: npt.NDArray[Any], ff: _Real, bpm_min: _Real, bpm_max: _Real
) -> npt.NDArray[np.intp]: ...
def get_sinusoid_params(
    spec: npt.NDArray[Any], fs: _Real, bins: npt.NDArray[np.integer[Any]]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def make_local_pulse(
    nov: npt.ArrayLike,
    ff: _Real,
    bpm_min: _Real,
    bpm_max: _Real,
    win_len_tg: _Int = 256,
    hop_tg: _Int = 64,
    zp_tg: _Int = 16,
) -> npt.NDArray[np.float64]: ...
def estimate_bpm(
    nov: npt.ArrayLike, ff: _Real, bpm_min: _Real, bpm_max: _Real
) -> np.float64: ...
def beats_score(
    nov: npt.NDArray[Any],
    beats: npt.NDArray[np.integer[Any]],
    est_period: _Real,
    lmbda: _Real = 10,
) -> np.float64: ...

# The beat positions are integer frame indices; when no beat is found they
# are an empty float64 array.
def create_dp_beats(
    nov: npt.ArrayLike, est_period: _Real, lmbda: _Real
) -> tuple[npt.NDArray[np.intp] | npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

# Beats and the decoded period (in frames) of every frame.
def create_hmm_beats(
    curve: npt.ArrayLike,
    min_period: _Int,
    max_period: _Int,
    transition_lambda: _Real = 100.0,
    obs_lambda: _Real = 16.0,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...

# korvel's own road: the beats of create_hmm_beats on np.interp's upsampled
# curve, decoded in blocks.
def _hmm_beats_upsampled(
    curve: npt.ArrayLike,
    upsample: _Int,
    min_period: _Int,
    max_period: _Int,
    transition_lambda: _Real,
    obs_lambda: _Real,
    block: _Int = 0,
) -> npt.NDArray[np.int64]: ...
