// The beat-tracking recursion
//     D[n] = nov[n] + max(best_score, 0),
//     best_score = max over 1 <= m < n of D[m] + penalty[n - m]
// with the argmax rules of NumPy (first maximum; the first NaN wins).
//
// Scanning every predecessor makes the recursion quadratic.  The penalty is
// mild only for intervals near the beat period, so each frame first scans
// the `near` predecessors (interval <= W).  Every `far` score is at most
// max(D[far]) + max(penalty[far intervals]) -- IEEE addition is monotone, so
// the rounded bound is still an upper bound -- and when that bound lies
// strictly below the best near score no far predecessor can win or tie.
// Otherwise, or when a NaN is involved, the frame is scanned in full, so the
// result is always that of the full scan.  The caller checks the
// floating-point flags afterwards (overflow in a skipped sum shows up in the
// bound itself: the lower bound min(D) + min(penalty) is formed for that).
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "fpe.hpp"

namespace korvel::kernels {

// `Index` holds the predecessors: int32 halves their memory when N fits.
template <typename Index = std::int64_t>
class DpBeats {
public:
    // nov and penalty have N values; D and P have N values with D[0] = 0,
    // D[1] = nov[1] and P zero.  W >= 1 is the near-window size.
    // With `shift` 1, nov[k] is the value of frame k + 1 (the curve without
    // its leading 0; frame 0 is never read).
    DpBeats(const double* nov, const double* penalty, double* D, Index* P, std::ptrdiff_t N,
            std::ptrdiff_t W, std::ptrdiff_t shift = 0)
        : nov_(nov), pen_(penalty), D_(D), P_(P), N_(N), W_(W < 1 ? 1 : W), shift_(shift) {}

    bool done() const { return n_ >= N_; }
    // Two NaNs met in a sum that reached the result (see both_nan).
    bool nan_clash() const { return clash_; }

    // Computes frames until about `budget` score evaluations are spent.
    void advance(std::int64_t budget) {
        while (n_ < N_ && budget > 0) {
            budget -= step(n_);
            ++n_;
        }
    }

private:
    struct Best {
        double score;
        std::ptrdiff_t j;  // position in scores, predecessor m = j + 1
        bool nan;
    };

    double score(std::ptrdiff_t n, std::ptrdiff_t j) const { return D_[j + 1] + pen_[n - 1 - j]; }

    // NumPy's argmax over scores[j0 .. n-2].
    Best argmax(std::ptrdiff_t n, std::ptrdiff_t j0) const {
        double mp = score(n, j0);
        std::ptrdiff_t idx = j0;
        if (std::isnan(mp)) return {mp, idx, true};
        for (std::ptrdiff_t j = j0 + 1; j <= n - 2; ++j) {
            const double s = score(n, j);
            if (!std::islessequal(s, mp)) {
                mp = s;
                idx = j;
                if (std::isnan(mp)) return {mp, idx, true};
            }
        }
        return {mp, idx, false};
    }

    static void extend(double v, double& lo, double& hi, bool& empty, bool& nan) {
        if (std::isnan(v)) {
            nan = true;
        } else if (empty) {
            lo = hi = v;
            empty = false;
        } else {
            if (std::isless(v, lo)) lo = v;
            if (std::isgreater(v, hi)) hi = v;
        }
    }

    std::int64_t step(std::ptrdiff_t n) {
        // Far predecessors m <= n - W - 1 have intervals >= W + 1; each new
        // frame adds one of each to the running extremes.
        const std::ptrdiff_t far_top = n - W_ - 1;
        if (far_top >= 1) {
            extend(D_[far_top], minD_, maxD_, far_empty_, far_nan_);
            extend(pen_[n - 1], minP_, maxP_, far_p_empty_, far_nan_);
        }
        const std::ptrdiff_t j0 = far_top >= 1 ? far_top : 0;
        Best best = argmax(n, j0);
        std::int64_t work = n - 1 - j0;
        if (j0 > 0) {
            bool skip = false;
            if (!best.nan && !far_nan_) {
                const double upper = maxD_ + maxP_;
                volatile double lower = minD_ + minP_;  // raises overflow if a far sum could
                (void)lower;
                skip = std::isless(upper, best.score);
            }
            if (!skip) {
                best = argmax(n, 0);
                work += n - 1;
            }
        }
        if (best.nan) clash_ |= both_nan(D_[best.j + 1], pen_[n - 1 - best.j]);
        const double added = std::isgreater(0.0, best.score) ? 0.0 : best.score;
        const double v = nov_[n - shift_];
        clash_ |= both_nan(v, added);
        D_[n] = v + added;
        P_[n] = D_[n] == v ? 0 : static_cast<Index>(best.j + 1);
        return work + 1;
    }

    const double* nov_;
    const double* pen_;
    double* D_;
    Index* P_;
    std::ptrdiff_t N_;
    std::ptrdiff_t W_;
    std::ptrdiff_t shift_;
    std::ptrdiff_t n_ = 2;
    double minD_ = 0, maxD_ = 0, minP_ = 0, maxP_ = 0;
    bool far_empty_ = true, far_p_empty_ = true, far_nan_ = false, clash_ = false;
};

// NumPy's argmax of a double array (first maximum, first NaN wins).
inline std::ptrdiff_t argmax(const double* v, std::ptrdiff_t n) {
    double mp = v[0];
    std::ptrdiff_t idx = 0;
    if (std::isnan(mp)) return 0;
    for (std::ptrdiff_t i = 1; i < n; ++i) {
        if (!std::islessequal(v[i], mp)) {
            mp = v[i];
            idx = i;
            if (std::isnan(mp)) break;
        }
    }
    return idx;
}

}  // namespace korvel::kernels
