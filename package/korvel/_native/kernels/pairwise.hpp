// NumPy's add.reduce along the rows of a [rows, n] matrix, fed a column at
// a time: the row means of a tempogram without the tempogram.
//
// NumPy sums each contiguous row of n doubles a part at a time (the whole
// row since NumPy 2.3, parts of its iterator's buffer size before), each
// part with its pairwise sum: runs of at most 128 values in one loop (eight
// running sums, joined in a fixed order, then the rest of the run one value
// after another), and the runs' sums added along a binary tree that depends
// on the part's length alone (each half rounded down to a multiple of 8);
// the parts' sums are added in turn to 0.  Here each run is summed as soon
// as its columns are in, so only one run of columns and the runs' sums are
// kept: about one value per row for every hundred columns.  Plain IEEE
// arithmetic in NumPy's order (no reassociation), so the same bits.
#pragma once
#include <cstddef>
#include <cstdint>

namespace korvel::kernels {

// NumPy's pairwise sum of a[0 .. n-1] for n <= 128 (one run).
inline double pairwise_run(const double* a, std::ptrdiff_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    double r[8];
    for (int k = 0; k < 8; ++k) r[k] = a[k];
    std::ptrdiff_t i = 8;
    for (; i < n - (n % 8); i += 8) {
        for (int k = 0; k < 8; ++k) r[k] += a[i + k];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
}

class PairwiseRowSums {
public:
    static constexpr std::ptrdiff_t kRun = 128;

    // Runs into which NumPy splits a row of n values summed `part` at a time.
    static std::ptrdiff_t count_runs(std::ptrdiff_t n, std::ptrdiff_t part) {
        if (n <= 0 || part <= 0) return 0;
        return (n / part) * tree_runs(part) + tree_runs(n % part);
    }

    // The caller's memory: `runs` count_runs(n, part) values, `run` rows *
    // kRun, `sums` rows * count_runs(n, part).
    PairwiseRowSums(std::ptrdiff_t rows, std::ptrdiff_t n, std::ptrdiff_t part, std::int64_t* runs, double* run,
                    double* sums)
        : rows_(rows), n_(n), part_(part), num_runs_(count_runs(n, part)), runs_(runs), run_(run), sums_(sums) {
        std::ptrdiff_t at = 0;
        for (std::ptrdiff_t p = 0; p < n_ && part_ > 0; p += part_) lengths(part_ < n_ - p ? part_ : n_ - p, at);
    }

    // The next column: the value of row r is col[r * stride].
    void add_column(const double* col, std::ptrdiff_t stride) {
        if (complete()) return;
        for (std::ptrdiff_t r = 0; r < rows_; ++r) run_[r * kRun + fill_] = col[r * stride];
        if (++fill_ == runs_[next_]) {
            for (std::ptrdiff_t r = 0; r < rows_; ++r) {
                sums_[r * num_runs_ + next_] = pairwise_run(run_ + r * kRun, fill_);
            }
            ++next_;
            fill_ = 0;
        }
    }

    // True once all n columns are in.
    bool complete() const { return next_ == num_runs_; }

    // The sum of row r (complete() first).
    double total(std::ptrdiff_t r) const {
        double acc = 0.0;
        std::ptrdiff_t leaf = 0;
        for (std::ptrdiff_t p = 0; p < n_ && part_ > 0; p += part_) {
            acc = acc + walk(sums_ + r * num_runs_, part_ < n_ - p ? part_ : n_ - p, leaf);
        }
        return acc;
    }

private:
    static std::ptrdiff_t tree_runs(std::ptrdiff_t m) {
        if (m <= 0) return 0;
        if (m <= kRun) return 1;
        const std::ptrdiff_t half = m / 2 - (m / 2) % 8;
        return tree_runs(half) + tree_runs(m - half);
    }

    void lengths(std::ptrdiff_t m, std::ptrdiff_t& at) {
        if (m <= kRun) {
            runs_[at++] = m;
            return;
        }
        const std::ptrdiff_t half = m / 2 - (m / 2) % 8;
        lengths(half, at);
        lengths(m - half, at);
    }

    static double walk(const double* sums, std::ptrdiff_t m, std::ptrdiff_t& leaf) {
        if (m <= kRun) return sums[leaf++];
        const std::ptrdiff_t half = m / 2 - (m / 2) % 8;
        const double left = walk(sums, half, leaf);
        return left + walk(sums, m - half, leaf);
    }

    std::ptrdiff_t rows_, n_, part_, num_runs_;
    std::int64_t* runs_;
    double* run_;
    double* sums_;
    std::ptrdiff_t fill_ = 0, next_ = 0;
};

}  // namespace korvel::kernels
