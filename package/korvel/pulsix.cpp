// korvel.pulsix: novelty, tempograms, tempo, local pulse, beats and clicks.
#include "frame/runtime.hpp"

namespace korvel {
namespace {

const ModuleInfo kModule{"korvel.pulsix", "package/korvel/pulsix"};

bool init(PyObject* m, int* line) {
#define K_INIT(cond)        \
    if (!(cond)) {          \
        *line = __LINE__;   \
        return false;       \
    }
    Ref np = import_absolute(m, "numpy");
    K_INIT(np);
    K_INIT(bind_global(m, "np", np.get()));
    Ref sonix = import_relative(m, "sonix", {"stft", "stft_mag"});
    K_INIT(sonix);
    Ref stft = import_from(sonix.get(), "stft");
    K_INIT(stft);
    K_INIT(bind_global(m, "stft", stft.get()));
    Ref stft_mag = import_from(sonix.get(), "stft_mag");
    K_INIT(stft_mag);
    K_INIT(bind_global(m, "stft_mag", stft_mag.get()));
#undef K_INIT
    return true;
}

int exec_module(PyObject* m) {
    int line = 0;
    if (init(m, &line)) return 0;
    add_traceback("init korvel.pulsix", kModule.file, line);
    return -1;
}

PyModuleDef_Slot kSlots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};

PyModuleDef kDef = {PyModuleDef_HEAD_INIT, "korvel.pulsix", nullptr, 0, nullptr, kSlots,
                    nullptr, nullptr, nullptr};

}  // namespace
}  // namespace korvel

PyMODINIT_FUNC PyInit_pulsix() { return PyModuleDef_Init(&korvel::kDef); }
