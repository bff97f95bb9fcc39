// korvel.pulsix: the module table and what its initialisation captures.
#define KORVEL_IMPORTS_NUMPY
#include "pulsix/pulsix.hpp"

namespace korvel {
namespace pulsix {

const ModuleInfo kModule{"korvel.pulsix", "package/korvel/pulsix", "init korvel.pulsix"};

namespace {

bool init(PyObject* m, int* line) {
    Ref np = import_numpy(m,
                          {&kNoveltyRoutines, &kClicksRoutines, &kTempoRoutines, &kTempogramRoutines,
                           &kPulseRoutines, &kBeatsRoutines},
                          kExtraCount);
    K_INIT(np);
    ModuleState& state = state_of(m);
    Ref sonix = import_relative(m, "sonix", {"stft", "stft_mag"});
    K_INIT(sonix);
    Ref stft = import_bound(m, sonix.get(), "stft");
    K_INIT(stft);
    Ref stft_mag = import_bound(m, sonix.get(), "stft_mag");
    K_INIT(stft_mag);
    state.set_extra(kImportedStftMag, stft_mag.get());
    {
        PyObject* g = PyModule_GetDict(sonix.get());
        PyObject* cnf = g ? PyDict_GetItemString(g, "calc_num_frames") : nullptr;
        state.set_extra(kSonixGlobals, g);
        state.set_extra(kSonixStft, stft.get());
        state.set_extra(kSonixCalcNumFrames, cnf);
    }
    K_INIT(add_function(m, kModule, kSpectralNovelty, Ref()) == 0);
    K_INIT(add_function(m, kModule, kMakeClicks, Ref::steal(Py_BuildValue("(iO)", 0, Py_None))) == 0);
    K_INIT(add_function(m, kModule, kAutoCorrelate, Ref()) == 0);
    K_INIT(add_function(m, kModule, kMakeAcTempogram, Ref()) == 0);
    K_INIT(add_function(m, kModule, kBpmToK, Ref()) == 0);
    K_INIT(add_function(m, kModule, kBestTempogramBins, Ref()) == 0);
    K_INIT(add_function(m, kModule, kGetSinusoidParams, Ref()) == 0);
    K_INIT(add_function(m, kModule, kMakeLocalPulse, Ref::steal(Py_BuildValue("(iii)", 256, 64, 16))) == 0);
    K_INIT(add_function(m, kModule, kEstimateBpm, Ref()) == 0);
    K_INIT(add_function(m, kModule, kBeatsScore, Ref::steal(Py_BuildValue("(i)", 10))) == 0);
    K_INIT(add_function(m, kModule, kCreateDpBeats, Ref()) == 0);
    K_INIT(add_function(m, kModule, kCreateHmmBeats, Ref::steal(Py_BuildValue("(dd)", 100.0, 16.0))) == 0);
    K_INIT(add_function(m, kModule, kHmmBeatsUpsampled, Ref::steal(Py_BuildValue("(i)", 0))) == 0);
    PyObject* own = PyModule_GetDict(m);
    state.set_extra(kOwnAutoCorrelate, PyDict_GetItemString(own, "auto_correlate"));
    state.set_extra(kOwnBestTempogramBins, PyDict_GetItemString(own, "best_tempogram_bins"));
    state.set_extra(kOwnGetSinusoidParams, PyDict_GetItemString(own, "get_sinusoid_params"));
    return true;
}

}  // namespace
}  // namespace pulsix
}  // namespace korvel

KORVEL_MODULE(pulsix, pulsix::kModule, pulsix::init)
