"""The work of one track, done on the workers."""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

from .._errors import MissingExtra
from ..analysis import AnalysisError, AnalysisParams, BeatAnalysis
from ..audio_io import AudioError
from ..stream import FileAnalysis, FileAnalysisError, analyze_file
from .results import empty_row


def analyze_track(path: str, params: AnalysisParams,
                  on_result: Callable[[FileAnalysis, BeatAnalysis], None] | None = None) -> dict[str, Any]:
    """One row of results for one audio file.

    This runs on the workers: it gets a path, reads the file itself and never
    raises for a bad track; whatever went wrong is in the ``error`` column.
    ``on_result`` is given the audio and the result of a track analysed
    (a report page is made there); its errors are the track's errors.
    """
    row = empty_row(path, params)
    try:
        # Decoded block by block (reads silence the decoders' notes on file
        # descriptor 2 one thread at a time): bounded memory at any length.
        audio = analyze_file(path, params)
        row.update(duration=audio.duration, sample_rate=audio.sample_rate,
                   channels=audio.channels)
        resolved = audio.params
        row.update(fft_len=resolved.fft_len, hop=resolved.hop,
                   feature_rate=audio.sample_rate / resolved.sizes()[1])
        result = audio.result()
        if on_result is not None:
            on_result(audio, result)
    except AudioError as exc:
        row["error"] = exc.reason  # the row already says which file
        return row
    except FileAnalysisError as exc:
        # A track too short (or not finite) still says what it is.
        fs = exc.info.sample_rate
        row.update(duration=exc.num_samples / fs, sample_rate=fs, channels=exc.info.channels,
                   fft_len=exc.params.fft_len, hop=exc.params.hop, feature_rate=fs / exc.params.sizes()[1])
        row["error"] = str(exc)
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
