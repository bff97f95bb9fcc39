// Signal checks in long loops, on one cadence for every loop.
#pragma once
#include <cstdint>

#include "ref.hpp"

namespace korvel {

// Runs pending signal handlers (Ctrl-C, alarms) after about kInterval
// element operations of work, however a loop divides its work, native or
// step by step.  A handler's exception ends the loop and is the call's
// error.  Needs the GIL.
class SignalCadence {
public:
    static constexpr std::int64_t kInterval = std::int64_t{1} << 21;
    // An interpreter-level step's own cost (its calls and objects) beyond
    // the elements it touches, in element operations.
    static constexpr std::int64_t kStep = std::int64_t{1} << 10;

    // Counts `ops` element operations done; false with the handler's
    // exception set.
    bool tick(std::int64_t ops) {
        due_ -= ops;
        if (due_ > 0) return true;
        due_ = kInterval;
        return PyErr_CheckSignals() == 0;
    }
    // Element operations until the next check: what a native loop may do
    // in one go (without the GIL) before it ticks.
    std::int64_t budget() const { return due_; }

private:
    std::int64_t due_ = kInterval;
};

// `for i in range(count)` run step by step: each step first checks for
// signals on the cadence, counting `ops` element operations and the step's
// own cost, then hands out i as a Python int.
class Steps {
public:
    Steps(Py_ssize_t count, std::int64_t ops) : count_(count), ops_(ops + SignalCadence::kStep) {}
    bool done() const { return i_ >= count_; }
    // The next index; empty with the error set (a handler's exception, or
    // no memory for the int).
    Ref next() {
        if (!cadence_.tick(ops_)) return Ref();
        return Ref::steal(PyLong_FromSsize_t(i_++));
    }

private:
    SignalCadence cadence_;
    Py_ssize_t count_;
    std::int64_t ops_;
    Py_ssize_t i_ = 0;
};

}  // namespace korvel
