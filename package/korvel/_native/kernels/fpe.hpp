// Floating-point exception flags around a native computation.
#pragma once
#include <cfenv>
#include <cmath>

namespace korvel::kernels {

// Flags NumPy would report (or that its error settings could make it report).
constexpr int kReportedFlags = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW;

// Where two NaNs meet in one operation, which of them comes out depends on
// how NumPy's own loop was compiled (operand order, SIMD body or tail), so
// kernels report such meetings and leave those inputs to NumPy.
inline bool both_nan(double a, double b) { return std::isnan(a) & std::isnan(b); }

inline void clear_fp_flags() { std::feclearexcept(FE_ALL_EXCEPT); }
inline bool fp_flags_raised() { return std::fetestexcept(kReportedFlags) != 0; }

}  // namespace korvel::kernels
