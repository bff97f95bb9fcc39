"""The benchmark's workloads: for each, the contenders and their arguments.

Every catalogued function (tests/_catalogue.py) is measured: by the
workloads below where it has one, and otherwise by its catalogued typical
call (per-call overhead).
"""

import types

import numpy as np

from contenders import (CATALOGUE, FS, _Missing, audio, baseline, forced_reference, kfun, librosa,
                        period_from_bpm)
from reference.hmm_beats import hmm_beats as plain_hmm_beats  # tests/ is on the path now

# --------------------------------------------------------------------------
# Workloads


class Workload:
    """One benchmark row family.

    ``make(inp)`` returns {contender: (callable, args)}; ``inp`` is an Inputs
    for duration workloads and None for fixed-size ones.
    """

    def __init__(self, name, make, sized=True, note="", compare=True, max_duration=None, functions=None):
        self.name, self.make, self.sized, self.note, self.compare = name, make, sized, note, compare
        self.max_duration = max_duration
        # The korvel functions it measures.
        self.functions = functions or (name,)


# Functions whose plain NumPy program lives beside the transcription.
def plain_upsampled_hmm_beats(curve, upsample, min_period, max_period, transition_lambda, obs_lambda, block=0):
    """The beats of the plain decoder on np.interp's upsampled curve."""
    x = np.asarray(curve, dtype=np.float64)
    fine = np.interp(np.arange(upsample * (len(x) - 1) + 1) / upsample, np.arange(len(x)), x)
    return plain_hmm_beats(fine, min_period, max_period, transition_lambda, obs_lambda)[0]


BASELINES = {"create_hmm_beats": plain_hmm_beats, "_hmm_beats_upsampled": plain_upsampled_hmm_beats}


def _with_ref(fn, args):
    return {"korvel": (fn, args), "ref": (forced_reference(fn), args)}


def _three_ways(module, name, args, librosa_fn=None, librosa_args=None):
    """korvel's function, its forced reference path and the baseline's
    function of the same name, all on `args`; and where librosa is
    installed, its counterpart `librosa_fn` on `librosa_args`."""
    d = _with_ref(kfun(module, name), args)
    d["baseline"] = (BASELINES.get(name) or getattr(baseline, name), args)
    if librosa and librosa_fn is not None:
        d["librosa"] = (librosa_fn, librosa_args)
    return d


def _stft_workload(win, hop, mag):
    name = f"{'stft_mag' if mag else 'stft'}_{win}_{hop}"

    def make(inp):
        x = inp.x
        if mag:
            d = _three_ways("sonix", "stft_mag", (x, win, hop),
                            lambda y: np.abs(librosa.stft(y, n_fft=win, hop_length=hop)), (x,))
        else:
            d = _three_ways("sonix", "stft", (x, win, hop),
                            lambda y: librosa.stft(y, n_fft=win, hop_length=hop), (x,))
        d["floor"] = (np.fft.rfft, (inp.frames(win, hop),))
        return d

    return Workload(name, make, functions=("stft_mag" if mag else "stft",))


def _w_freq_to_pitch(_):
    f = np.random.default_rng(1).uniform(20.0, 11025.0, 10 ** 6)
    return _three_ways("sonix", "freq_to_pitch", (f,), lambda y: librosa.hz_to_midi(y), (f,))


def _w_tempogram(inp):
    nov = inp.nov
    return _three_ways("sonix", "stft", (nov, 256, 32, 16, None, False),
                       lambda o: librosa.feature.fourier_tempogram(onset_envelope=o, sr=FS, hop_length=256,
                                                                   win_length=256), (nov,))


def _w_spectral_novelty(inp):
    x = inp.x
    return _three_ways("pulsix", "spectral_novelty", (x, 1024, 256, 100),
                       lambda y: librosa.onset.onset_strength(y=y, sr=FS, n_fft=1024, hop_length=256), (x,))


def _w_estimate_bpm(inp):
    return _three_ways("pulsix", "estimate_bpm", (inp.nov, inp.ff, 60, 200),
                       lambda o: librosa.feature.tempo(onset_envelope=o, sr=FS, hop_length=256,
                                                       max_tempo=200.0), (inp.nov,))


def _w_create_dp_beats(inp):
    bpm = 60.0 * inp.ff / inp.period
    return _three_ways("pulsix", "create_dp_beats", (inp.nov, inp.period, 10),
                       lambda o: librosa.beat.beat_track(onset_envelope=o, sr=FS, hop_length=256, bpm=bpm,
                                                         trim=False), (inp.nov,))


def _w_beats_score(inp):
    return _three_ways("pulsix", "beats_score", (inp.nov, inp.true_beats, inp.period, 10))


def _w_make_local_pulse(inp):
    return _three_ways("pulsix", "make_local_pulse", (inp.nov, inp.ff, 60, 200),
                       lambda o: librosa.beat.plp(onset_envelope=o, sr=FS, hop_length=256, win_length=256,
                                                  tempo_min=60, tempo_max=200), (inp.nov,))


def _w_best_tempogram_bins(inp):
    return _three_ways("pulsix", "best_tempogram_bins", (inp.tempogram(256, 64, 16), inp.ff, 60, 200))


def _frame_autocorrelate(x, win, hop):
    frames = librosa.util.frame(x, frame_length=win, hop_length=hop)
    return librosa.autocorrelate(frames, axis=0)


def _w_make_ac_tempogram(inp):
    args = (inp.nov, 512, 32)
    return _three_ways("pulsix", "make_ac_tempogram", args, _frame_autocorrelate, args)


def _w_auto_correlate(inp):
    args = (inp.nov,)
    return _three_ways("pulsix", "auto_correlate", args, lambda o: librosa.autocorrelate(o), args)


def _w_get_sinusoid_params(_):
    rng = np.random.default_rng(2)
    spec = rng.standard_normal((2049, 2000)) + 1j * rng.standard_normal((2049, 2000))
    bins = rng.integers(0, 2049, 2000).astype(np.int64)
    return _three_ways("pulsix", "get_sinusoid_params", (spec, 86.1328125, bins))


def _clicks_floor(frames, click_len):
    # What no click track can avoid: the zeroed output and the first touch of
    # the memory under every click (page faults), without the per-click loop.
    out = np.zeros(frames[-1] + click_len)
    out[frames] += 0.5
    return out


def _w_make_clicks(_, spacing=None):
    if spacing is None:
        frames = audio.beat_samples(600.0)[:1000]
    else:
        frames = np.arange(1000, dtype=np.int64) * spacing + 100
    click = 0.5 * np.ones(50)
    d = _three_ways("pulsix", "make_clicks", (frames,),
                    lambda f: librosa.clicks(frames=f, sr=FS, hop_length=1, click=click), (frames,))
    d["floor"] = (_clicks_floor, (frames, 50))
    return d


def _w_bpm_to_k(_):
    return _three_ways("pulsix", "bpm_to_k", (120.0, 4096, FS / 256))


def _w_beats_score_10(_):
    nov = np.random.default_rng(3).uniform(0.0, 1.0, 900)
    beats = np.arange(10, dtype=np.int64) * 43 + 20
    return _three_ways("pulsix", "beats_score", (nov, beats, 43, 10))


def _road(mod):
    def road(x):
        ff = FS / 512
        nov = mod.spectral_novelty(x, 2048, 512, 100)
        bpm = mod.estimate_bpm(nov, ff, 60, 200)
        beats, d = mod.create_dp_beats(nov, period_from_bpm(bpm, ff), 10)
        return bpm, beats, d

    return road


def _librosa_road(x):
    oenv = librosa.onset.onset_strength(y=x, sr=FS, n_fft=2048, hop_length=512)
    return librosa.beat.beat_track(onset_envelope=oenv, sr=FS, hop_length=512)


def _w_road(inp):
    names = ("spectral_novelty", "estimate_bpm", "create_dp_beats")
    fns = {n: kfun("pulsix", n) for n in names}
    missing = [f for f in fns.values() if isinstance(f, _Missing)]
    k = missing[0] if missing else _road(types.SimpleNamespace(**fns))
    d = _with_ref(k, (inp.x,))
    d["baseline"] = (_road(baseline), (inp.x,))
    if librosa:
        d["librosa"] = (_librosa_road, (inp.x,))
    return d


WORKLOADS = [
    Workload("freq_to_pitch", _w_freq_to_pitch, sized=False, note="10^6 values"),
    _stft_workload(1024, 256, False),
    _stft_workload(2048, 512, False),
    _stft_workload(1024, 256, True),
    _stft_workload(2048, 512, True),
    Workload("tempogram_stft", _w_tempogram, functions=("stft",),
             note="stft(nov, 256, 32, 16, centered=False); librosa's fourier_tempogram "
                  "has hop 1, so it computes 32x the frames"),
    Workload("spectral_novelty", _w_spectral_novelty, note="(x, 1024, 256, 100)"),
    Workload("estimate_bpm", _w_estimate_bpm, note="(nov, ff, 60, 200)"),
    Workload("create_dp_beats", _w_create_dp_beats, note="(nov, period, 10)"),
    Workload("beats_score", _w_beats_score, note="the beats the audio was made with"),
    Workload("make_local_pulse", _w_make_local_pulse, note="(nov, ff, 60, 200)"),
    Workload("best_tempogram_bins", _w_best_tempogram_bins,
             note="tempogram 256/64 zp 16 of nov, 60-200 BPM"),
    Workload("make_ac_tempogram", _w_make_ac_tempogram, note="(nov, 512, 32)"),
    Workload("auto_correlate", _w_auto_correlate, max_duration=180.0,
             note="of the whole novelty curve (quadratic np.correlate: up to 180 s only)"),
    Workload("get_sinusoid_params", _w_get_sinusoid_params, sized=False, note="2000 bins"),
    Workload("make_clicks", _w_make_clicks, sized=False,
             note="1000 clicks at the beats of 500 s of audio (88 MB output: bound by the "
                  "kernel zeroing the pages under the clicks; floor = np.zeros + one "
                  "fancy-indexed write per click)"),
    Workload("make_clicks_dense", lambda inp: _w_make_clicks(inp, spacing=512), sized=False,
             functions=("make_clicks",),
             note="1000 clicks 512 samples apart (4 MB output: the per-click loop dominates)"),
    Workload("bpm_to_k", _w_bpm_to_k, sized=False, note="per-call overhead"),
    Workload("beats_score_10", _w_beats_score_10, sized=False, functions=("beats_score",),
             note="per-call overhead, 10 beats"),
    Workload("road_2048_512", _w_road, functions=("spectral_novelty", "estimate_bpm", "create_dp_beats"),
             note="spectral_novelty -> estimate_bpm -> create_dp_beats, FFT 2048 hop 512; "
                  "librosa: onset_strength + beat_track"),
]


def catalogued_workload(fn):
    """The catalogue's typical call of `fn` (per-call overhead), against the baseline."""
    def make(_):
        return _three_ways(fn.module.split(".")[1], fn.name, fn.typical.make())

    return Workload(fn.name, make, sized=False, note="the catalogue's typical call")


# A catalogued function without a workload of its own is measured by its typical call.
WORKLOADS += [catalogued_workload(fn) for fn in CATALOGUE
              if not any(fn.name in w.functions for w in WORKLOADS)]
