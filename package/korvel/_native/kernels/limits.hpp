// The sizes the native paths take, named once.  Beyond them a path
// declines and the step-by-step code meets the size as NumPy does (most
// often with a MemoryError); below them every product the paths form of
// these sizes fits in 64 bits with room to spare.
#pragma once

namespace korvel::limits {

// Window lengths, hops, frame counts, click lengths and positions: far
// beyond any memory, and the square of it still fits in int64.
inline constexpr long long kSize = 1LL << 40;
// A window whose square -- the cost of one frame's autocorrelation -- a
// signal cadence counts.
inline constexpr long long kSquaredWindow = 1LL << 20;
// A zero-padding factor.
inline constexpr long long kZeroPad = 1LL << 20;
// A signal the frame loops pad implicitly, its window, and the FFT length
// of any frame a native STFT path takes: one frame of 2^32 samples is
// already 32 GiB, so past it only a MemoryError is to be had, and that is
// left to the step-by-step path's own words.
inline constexpr long long kSignal = 1LL << 32;
// The signal length up to which an end extension may be computed natively.
inline constexpr long long kExtendedLength = 1LL << 50;
// The zeros past a signal's end the frame loops keep implicit; a longer
// tail is left to np.zeros, whose MemoryError is then the result.
inline constexpr long long kImplicitTail = 1LL << 26;
// An integer a double holds exactly.
inline constexpr long long kExactInDouble = 1LL << 53;

}  // namespace korvel::limits
