"""The work of one track, done on the workers."""

from __future__ import annotations

import threading
from typing import Any, Callable

import numpy as np

from .._errors import MissingExtra
from ..analysis import AnalysisError, AnalysisParams, BeatAnalysis, analyze
from ..audio_io import AudioError, AudioInput, load_audio
from .results import empty_row

# libsndfile's decoders may print notes about damaged data straight to file
# descriptor 2; load_audio silences it for the duration of the read.  Swapping
# a process-wide descriptor is only safe one thread at a time, and a worker of
# an existing cluster may run several tracks at once.
_READ_LOCK = threading.Lock()


def analyze_track(path: str, params: AnalysisParams,
                  on_result: Callable[[AudioInput, BeatAnalysis], None] | None = None) -> dict[str, Any]:
    """One row of results for one audio file.

    This runs on the workers: it gets a path, reads the file itself and never
    raises for a bad track; whatever went wrong is in the ``error`` column.
    ``on_result`` is given the audio and the result of a track analysed
    (a report page is made there); its errors are the track's errors.
    """
    row = empty_row(path, params)
    try:
        with _READ_LOCK:
            audio = load_audio(path)
        row.update(duration=audio.duration, sample_rate=audio.sample_rate,
                   channels=audio.channels)
        resolved = params.resolved(audio.sample_rate)
        row.update(fft_len=resolved.fft_len, hop=resolved.hop,
                   feature_rate=audio.sample_rate / resolved.sizes()[1])
        result = analyze(audio.mono, audio.sample_rate, params)
        if on_result is not None:
            on_result(audio, result)
    except AudioError as exc:
        row["error"] = exc.reason  # the row already says which file
        return row
    except (MissingExtra, AnalysisError) as exc:
        row["error"] = str(exc)
        return row
    except MemoryError:
        row["error"] = "out of memory while analysing this track"
        return row
    except Exception as exc:  # a bug of ours must not stop a run of a million tracks
        row["error"] = f"unexpected {type(exc).__name__}: {exc}"
        return row
    curve = result.tempo_curve_bpm
    row.update(tempo=result.tempo, raw_tempo=result.raw_tempo, tempo_warning=result.tempo_warning,
               num_beats=len(result.beat_times),
               beat_times=[float(t) for t in result.beat_times],
               # The local tempo in two numbers: how far it moved.
               tempo_min=float(np.min(curve)) if len(curve) else None,
               tempo_max=float(np.max(curve)) if len(curve) else None,
               steadiness=result.steadiness)
    return row
