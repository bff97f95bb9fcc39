// What the stages of korvel.pulsix share: the module's identity, what its
// initialisation captures, and the functions each stage registers.
#pragma once
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>

#include "kernels/limits.hpp"
#include "runtime/arrays.hpp"
#include "pulsix/docstrings.hpp"

namespace korvel {
namespace pulsix {

extern const ModuleInfo kModule;

// Each fast path names the numpy routines it stands in for next to it (see
// Routines); each stage's table of them is named below and listed in the
// module's initialisation.  Arrays made by genuine NumPy calls of a
// function are private to the call, which is what lets the native loops
// run without the GIL.
// The module's extras (see ModuleState).
enum Extra {
    kOwnAutoCorrelate,  // this module's auto_correlate
    kImportedStftMag,   // sonix.stft_mag as imported here
    // sonix's namespace, and the stft and frame counter found in it at
    // import: the novelty blocks stand in for sonix.stft_mag's native path,
    // so they hold where that path would run.
    kSonixGlobals,
    kSonixStft,
    kSonixCalcNumFrames,
    // this module's own stages of make_local_pulse, which its fused
    // tempogram blocks stand in for
    kOwnBestTempogramBins,
    kOwnGetSinusoidParams,
    kExtraCount
};

// A Python float/int or NumPy float64 scalar as a double, when converting it
// is exactly what NumPy does with it in float64 arithmetic.
inline bool plain_real(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == &PyDoubleArrType_Type) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    long long v;
    if (small_int(o, -limits::kExactInDouble, limits::kExactInDouble, &v)) {
        *out = static_cast<double>(v);
        return true;
    }
    return false;
}

// The FFT length a tempogram `spec` implies (tempo stage; the pulse uses it).
Ref implied_fft_len(Call& c, PyObject* spec) noexcept;

// int(np.ceil(bpm / 60.0 * fft_len / ff)), the tempogram searches' bin of a
// tempo; an error carries a traceback entry named `owner` (tempo stage).
Ref ceil_bin(Call& c, const char* owner, PyObject* bpm, PyObject* fft_len, PyObject* ff) noexcept;

// The routine lists of each stage's fast paths, one table per stage file
// (novelty.cpp, clicks.cpp, tempo.cpp, tempogram.cpp, pulse.cpp, beats.cpp).
extern const RoutineTable kNoveltyRoutines, kClicksRoutines, kTempoRoutines, kTempogramRoutines,
    kPulseRoutines, kBeatsRoutines;

// The functions, by stage (their docstrings: docstrings.hpp).
extern const FuncDef kSpectralNovelty;                                   // novelty.cpp
extern const FuncDef kMakeClicks;                                        // clicks.cpp
extern const FuncDef kAutoCorrelate, kMakeAcTempogram, kBpmToK,
    kBestTempogramBins, kEstimateBpm;                                    // tempo.cpp
extern const FuncDef kGetSinusoidParams, kMakeLocalPulse;                // pulse.cpp
extern const FuncDef kBeatsScore, kCreateDpBeats;                        // beats.cpp
extern const FuncDef kCreateHmmBeats, kHmmBeatsUpsampled;                // hmm_beats.cpp, hmm_blocks.cpp

}  // namespace pulsix
}  // namespace korvel
