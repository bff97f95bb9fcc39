// The docstrings of korvel.sonix's functions, kept apart from the code.
#pragma once

namespace korvel {
namespace sonix {

// The parameters stft and stft_mag share, in the words of both docstrings.
#define KORVEL_STFT_SIGNAL_PARAMS                                \
    "    :param x: the signal, must be real-valued\n"            \
    "    :param win_len: the size of the window\n"               \
    "    :param hop_size: the hop size for the stft\n"

inline constexpr char kFreqToPitchDoc[] =
    "Convert frequency ``f`` to (floating point) midi pitch assuming A440 = 69.\n"
    "\n"
    "    :param f: frequency to convert\n"
    "\n"
    "    :returns: (float) midi pitch\n"
    "    ";

inline constexpr char kStftDoc[] =
    "Return the Short-Time-Fourier-Transform.\n"
    "\n"
    KORVEL_STFT_SIGNAL_PARAMS
    "    :param zp_factor: zero-pad factor. win_len * zp_factor = fft_len\n"
    "    :param window: if None, use Hann window, else, use this as the window\n"
    "    :param centered: use a centered window\n"
    "\n"
    "    :returns: a matrix of shape [num_bins, num_hops] where num_bins = win_len /2 + 1 and "
    "num_hops is the total # of hops that \"fit\" into x\n"
    "    ";

inline constexpr char kStftMagDoc[] =
    "Return the magnitude of the Short-Time-Fourier-Transform.\n"
    "\n"
    KORVEL_STFT_SIGNAL_PARAMS
    "    :param zp_factor: zero-pad factor; win_len * zp_factor = fft_len\n"
    "\n"
    "    :returns: a matrix where each value is the magnitude of the stft\n"
    "    ";

#undef KORVEL_STFT_SIGNAL_PARAMS

}  // namespace sonix
}  // namespace korvel
