// Viterbi decoding of the beat-pointer model: a state is a beat period T
// (min_period .. max_period frames) and a position phi (0 .. T-1) within the
// beat.  The position advances by one each frame; only when a beat ends,
// (T, T-1) -> (T', 0), may the period change.
//
// Memory.  All states of one period shift together, so each period keeps its
// T scores in a ring: the score of (T, phi) at frame n sits in slot
// (phi - n) mod T, and advancing a frame leaves every score in place except
// the new phi = 0 one.  Only phi = 0 states have a choice of predecessor, so
// the backpointers are one period index per (frame, period) rather than one
// per state.
//
// Scores are sums of log probabilities in a fixed order (see step), so a
// plain NumPy Viterbi that adds in the same order gets the same bits:
//   score(0, T, phi)     = obs(0, T, phi)
//   score(n, T, phi > 0) = score(n-1, T, phi-1) + obs(n, T, phi)
//   score(n, T, 0)       = max over T' of (score(n-1, T', T'-1) + trans(T' -> T))
//                          + obs(n, T, 0)
// The maximum over T' takes the smallest T' among equal sums; the final state
// is the first maximum in (period, position) order.  The caller's inputs are
// finite and no sum meets +inf, so no NaN can arise.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace korvel::kernels {

// The unnormalised log-probability of a change from period `from` to
// period `to`: -lambda * |to / from - 1|.
inline double period_change(std::int64_t from, std::int64_t to, double lambda) {
    const double r = static_cast<double>(to) / static_cast<double>(from) - 1.0;
    return -lambda * std::fabs(r);
}

// Where the trace-back stands: period index k, position phi.
struct HmmPosition {
    std::ptrdiff_t k = 0;
    std::int64_t phi = 0;
};

// `Back` is the backpointer type: a period index, so uint8 serves up to 256
// periods and uint16 up to 65536.
template <typename Back>
class HmmBeats {
public:
    // Everything is owned by the caller.
    //   N                 frames
    //   periods           K periods, ascending
    //   reach             K: phi is in the beat region of period k when
    //                     phi <= reach[k] or phi >= periods[k] - reach[k]
    //   offset            K + 1 ring offsets into `score` (offset[K] states)
    //   table             K * K transition log-probabilities, table[k*K + j]
    //                     for j -> k; or nullptr to form them from
    //                     `lambda` and `log_norm` as they are needed
    //   log_norm          K: log of each source period's normaliser
    //   score, ends, starts, turn  scratch: offset[K], K, K and K values
    // The observations and backpointer rows are handed over separately
    // (observe_from, back_from), so that a caller may keep only a block of
    // frames of either at a time.
    HmmBeats(std::ptrdiff_t N, const std::int64_t* periods, std::ptrdiff_t K, const std::int64_t* reach,
             const std::ptrdiff_t* offset, const double* table, double lambda, const double* log_norm,
             double* score, double* ends, double* starts, std::int64_t* turn)
        : N_(N), T_(periods), K_(K), reach_(reach), off_(offset), table_(table), lambda_(lambda),
          log_norm_(log_norm), score_(score), ends_(ends), starts_(starts), turn_(turn) {}

    // The log-likelihoods of a frame inside / outside the beat region for
    // frames first, first + 1, ...: beat_ll[n - first], rest_ll[n - first].
    void observe_from(const double* beat_ll, const double* rest_ll, std::ptrdiff_t first) {
        beat_ = beat_ll;
        rest_ = rest_ll;
        obs_first_ = first;
    }
    // Backpointers of frames first, first + 1, ... go to back[(n - first) * K].
    void back_from(Back* back, std::ptrdiff_t first) {
        back_ = back;
        back_first_ = first;
    }

    std::ptrdiff_t frame() const { return n_; }
    bool done() const { return n_ >= N_; }
    std::ptrdiff_t states() const { return off_[K_]; }

    // Element operations one frame costs (for sizing work between checks).
    std::int64_t frame_cost() const { return static_cast<std::int64_t>(off_[K_]) + K_ * K_; }

    // Decodes frames until `stop` or until about `budget` element operations
    // are spent.
    void advance(std::int64_t budget, std::ptrdiff_t stop) {
        if (stop > N_) stop = N_;
        if (n_ == 0 && n_ < stop) {
            first();
            ++n_;
            budget -= frame_cost();
        }
        while (n_ < stop && budget > 0) {
            step(n_);
            ++n_;
            budget -= frame_cost();
        }
    }
    void advance(std::int64_t budget) { advance(budget, N_); }

    // The scores of every state before frame n_ (offset[K] values), to
    // resume from with resume().
    void save(double* out) const { std::copy(score_, score_ + off_[K_], out); }
    // Back to the state save() wrote when the next frame to decode was
    // n >= 1.
    void resume(const double* saved, std::ptrdiff_t n) {
        std::copy(saved, saved + off_[K_], score_);
        // The ring of period T turns once a frame from frame 0 on.
        for (std::ptrdiff_t k = 0; k < K_; ++k) turn_[k] = static_cast<std::int64_t>((n - 1) % T_[k]);
        n_ = n;
    }
    // Back to the start: frame 0 is decoded next.
    void rewind() { n_ = 0; }

    // Once done: the best final state, first maximum in (period, position)
    // order.
    HmmPosition last() const {
        HmmPosition at;
        double best = 0;
        bool any = false;
        for (std::ptrdiff_t j = 0; j < K_; ++j) {
            for (std::int64_t p = 0; p < T_[j]; ++p) {
                const double s = score_[off_[j] + slot(j, p)];
                if (!any || s > best) {
                    best = s;
                    at.k = j;
                    at.phi = p;
                    any = true;
                }
            }
        }
        return at;
    }

    // Walks back from frame to - 1 down to frame from, with `at` the state
    // of frame to - 1; visit(n, k, phi) sees each frame's state.  The
    // backpointers of frames from .. to - 1 (all but frame 0) must be at
    // hand; `at` is left at the state of frame from - 1.
    template <class Visit>
    void trace(std::ptrdiff_t from, std::ptrdiff_t to, HmmPosition& at, Visit&& visit) const {
        for (std::ptrdiff_t n = to - 1; n >= from; --n) {
            visit(n, at.k, at.phi);
            if (at.phi == 0) {
                if (n > 0) {
                    at.k = back_[(n - back_first_) * K_ + at.k];
                    at.phi = T_[at.k] - 1;
                }
            } else {
                --at.phi;
            }
        }
    }

    // Once done, with every frame's backpointers at hand: the decoded period
    // of every frame into periods_out (N) and the frames at position 0,
    // ascending, into the end of beats_out (N); returns how many beats there
    // are (they start at beats_out + N - count).
    std::ptrdiff_t decode(double* periods_out, std::int64_t* beats_out) const {
        if (N_ == 0) return 0;
        HmmPosition at = last();
        std::ptrdiff_t count = 0;
        trace(0, N_, at, [&](std::ptrdiff_t n, std::ptrdiff_t k, std::int64_t phi) {
            periods_out[n] = static_cast<double>(T_[k]);
            if (phi == 0) {
                beats_out[N_ - 1 - count] = n;
                ++count;
            }
        });
        return count;
    }

private:
    // Ring slot of position phi of period k at the current frame, where
    // turn_[k] = n mod T (the slot of phi = 0 is (-n) mod T).
    std::int64_t slot(std::ptrdiff_t k, std::int64_t phi) const {
        std::int64_t s = phi - turn_[k];
        return s < 0 ? s + T_[k] : s;
    }

    double trans(std::ptrdiff_t j, std::ptrdiff_t k) const {
        if (table_) return table_[k * K_ + j];
        return period_change(T_[j], T_[k], lambda_) - log_norm_[j];
    }

    // Adds the frame's observation to every position of period k; the new
    // phi = 0 score has already been written to its slot.
    void observe(std::ptrdiff_t k, double in, double out) {
        const std::int64_t T = T_[k];
        const std::int64_t h = reach_[k];
        double* ring = score_ + off_[k];
        if (2 * h + 1 >= T) {
            for (std::int64_t s = 0; s < T; ++s) ring[s] += in;
            return;
        }
        // Positions [0, h] and [T - h, T - 1] are the beat region.
        add(ring, k, 0, h + 1, in);
        add(ring, k, h + 1, T - h, out);
        add(ring, k, T - h, T, in);
    }

    // Adds v to positions [p0, p1) of period k, whose slots may wrap.
    void add(double* ring, std::ptrdiff_t k, std::int64_t p0, std::int64_t p1, double v) const {
        if (p0 >= p1) return;
        const std::int64_t T = T_[k];
        std::int64_t s0 = slot(k, p0);
        std::int64_t len = p1 - p0;
        const std::int64_t first = std::min<std::int64_t>(len, T - s0);
        for (std::int64_t s = s0; s < s0 + first; ++s) ring[s] += v;
        for (std::int64_t s = 0; s < len - first; ++s) ring[s] += v;
    }

    void first() {
        const double in = beat_[-obs_first_], out = rest_[-obs_first_];
        for (std::ptrdiff_t k = 0; k < K_; ++k) {
            turn_[k] = 0;
            double* ring = score_ + off_[k];
            for (std::int64_t s = 0; s < T_[k]; ++s) ring[s] = 0.0;
            // 0.0 + x is x for every finite x but -0.0, which no log gives.
            observe(k, in, out);
        }
    }

    void step(std::ptrdiff_t n) {
        // Advance each ring: the slot of phi = 0 now holds the score of the
        // state that ends the previous beat.
        for (std::ptrdiff_t k = 0; k < K_; ++k) {
            std::int64_t t = turn_[k] + 1;
            if (t == T_[k]) t = 0;
            turn_[k] = t;
            ends_[k] = score_[off_[k] + slot(k, 0)];
        }
        Back* row = back_ + (n - back_first_) * K_;
        for (std::ptrdiff_t k = 0; k < K_; ++k) {
            double best = ends_[0] + trans(0, k);
            std::ptrdiff_t arg = 0;
            for (std::ptrdiff_t j = 1; j < K_; ++j) {
                const double v = ends_[j] + trans(j, k);
                if (v > best) {
                    best = v;
                    arg = j;
                }
            }
            starts_[k] = best;
            row[k] = static_cast<Back>(arg);
        }
        const double in = beat_[n - obs_first_], out = rest_[n - obs_first_];
        for (std::ptrdiff_t k = 0; k < K_; ++k) {
            score_[off_[k] + slot(k, 0)] = starts_[k];
            observe(k, in, out);
        }
    }

    std::ptrdiff_t N_;
    const std::int64_t* T_;
    std::ptrdiff_t K_;
    const std::int64_t* reach_;
    const std::ptrdiff_t* off_;
    const double* table_;
    double lambda_;
    const double* log_norm_;
    double* score_;
    double* ends_;
    double* starts_;
    std::int64_t* turn_;
    const double* beat_ = nullptr;
    const double* rest_ = nullptr;
    std::ptrdiff_t obs_first_ = 0;
    Back* back_ = nullptr;
    std::ptrdiff_t back_first_ = 0;
    std::ptrdiff_t n_ = 0;
};

}  // namespace korvel::kernels
