// Floating-point exception flags around a native computation.
#pragma once
#include <cfenv>

namespace korvel::kernels {

// Flags NumPy would report (or that its error settings could make it report).
constexpr int kReportedFlags = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW;

inline void clear_fp_flags() { std::feclearexcept(FE_ALL_EXCEPT); }
inline bool fp_flags_raised() { return std::fetestexcept(kReportedFlags) != 0; }

}  // namespace korvel::kernels
