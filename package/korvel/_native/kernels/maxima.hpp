// Column maxima of blocks of rows: what a tempogram's row means need
// to be known not to overflow, without the rows themselves.
#pragma once
#include <cstddef>

namespace korvel::kernels {

// maxima[k] = the largest of maxima[k] and rows[j, k] over the nb rows of a
// block (`stride` elements apart; the first num_cols of each taken).  NaNs
// are passed over.
inline void column_maxima(const double* rows, std::ptrdiff_t nb, std::ptrdiff_t num_cols, std::ptrdiff_t stride,
                          double* maxima) {
    for (std::ptrdiff_t j = 0; j < nb; ++j) {
        const double* row = rows + j * stride;
        for (std::ptrdiff_t k = 0; k < num_cols; ++k) maxima[k] = row[k] > maxima[k] ? row[k] : maxima[k];
    }
}

}  // namespace korvel::kernels
