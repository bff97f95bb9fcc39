// The docstrings of korvel.pulsix's functions, kept together and apart from
// the code; each stage registers its functions with the texts named here.
#pragma once

namespace korvel {
namespace pulsix {

// ---- novelty (novelty.cpp) ------------------------------------------

inline constexpr char kSpectralNoveltyDoc[] =
    "Create the spectral novelty curve for a given signal x\n"
    "\n"
    "    :param x: the signal\n"
    "    :param fft_len: the length of the FFT for the spectrogram\n"
    "    :param hop_size: the hop size for the spectrogram\n"
    "    :param gamma: log compression factor\n"
    "\n"
    "    :returns: a numpy array of the spectral novelty curve\n"
    "    ";

// ---- clicks (clicks.cpp) --------------------------------------------

inline constexpr char kMakeClicksDoc[] =
    "Create an audio signal with clicks at specific locations.\n"
    "\n"
    "    :param frames: array of locations at which to place clicks\n"
    "    :param out_len: ensure that output is of this length\n"
    "    :param click: the click sound\n"
    "\n"
    "    :returns: a numpy array of the audio signal of clicks\n"
    "    ";

// ---- tempograms and tempo (tempo.cpp) -------------------------------

inline constexpr char kAutoCorrelateDoc[] =
    "Calculate the autocorrelation on a signal.\n"
    "\n"
    "    :param x: the signal\n"
    "\n"
    "    :returns: a numpy array of length len(x), the autocorrelation of x\n"
    "    ";

inline constexpr char kMakeAcTempogramDoc[] =
    "Makes the autocorrelation tempogram of a signal\n"
    "\n"
    "    :param x: the signal\n"
    "    :param win_len: length of the windows for the autocorrelation tempogram\n"
    "    :param hop_size: length of the hops for the autocorrelation tempogram\n"
    "\n"
    "    :returns: a matrix of shape (win_len, num_hops)\n"
    "    ";

inline constexpr char kBpmToKDoc[] =
    "For a given tempo (in beats per minute) return the corresponding bin number of\n"
    "    a Fourier tempogram\n"
    "\n"
    "    :param bpm: a tempo in beats per minute\n"
    "    :param fft_len: N - the DFT length used in the Fourier tempogram\n"
    "    :param ff: the feature rate of the novelty curve used to create the Fourier tempogram\n"
    "\n"
    "    :returns: the corresponding bin number\n"
    "    ";

inline constexpr char kBestTempogramBinsDoc[] =
    "Find the bin with the largest magnitude at each time step in a Fourier tempogram\n"
    "\n"
    "    :param tg: the Fourier tempogram\n"
    "    :param ff: the feature rate of the novelty curve used to create the Fourier tempogram\n"
    "    :param bpm_min: minimum tempo\n"
    "    :param bpm_max: maximum tempo\n"
    "\n"
    "    :returns: a numpy array of length tg.shape[1]\n"
    "    ";

inline constexpr char kEstimateBpmDoc[] =
    "Estimate the average BPM for a given novelty curve that has a feature-rate ff. Limits the "
    "tempo estimates to between bpm_min and bpm_max.\n"
    "\n"
    "    :param nov: the novelty curve\n"
    "    :param ff: feature rate\n"
    "    :param bpm_min: minimum BPM\n"
    "    :param bpm_max: maximum BPM\n"
    "\n"
    "    :returns: a BPM value between bpm_min and bpm_max\n"
    "    ";

// ---- the local pulse (pulse.cpp) ------------------------------------

inline constexpr char kGetSinusoidParamsDoc[] =
    "Given a spectrogram and a list of bins, return the frequencies and phases associated with "
    "those bins.\n"
    "\n"
    "    :param spec: input spectrogram\n"
    "    :param fs: the sample rate\n"
    "    :param bins: list of bins\n"
    "\n"
    "    :returns: a tuple of two lists, (frequencies, phases), each of length len(bins)\n"
    "    ";

inline constexpr char kMakeLocalPulseDoc[] =
    "Return the predominant local pulse signal from a given novelty curve.\n"
    "\n"
    "    :param nov: an onset novelty curve\n"
    "    :param ff: feature rate of nov\n"
    "    :param bpm_min: lower limit of tempo range to consider\n"
    "    :param bpm_max: (exclusive) upper limit tempo range to consider\n"
    "    :param win_len_tg: tempogram window length\n"
    "    :param hop_tg: tempogram hop size\n"
    "    :param zp_tg: zero-padding factor for STFT to increase frequency resolution\n"
    "\n"
    "    :returns: a signal of combined sinusoids that reflect the local pulse\n"
    "    ";

// ---- beats (beats.cpp) ----------------------------------------------

inline constexpr char kBeatsScoreDoc[] =
    "Calculates the beat score for a given novelty function and set of beats.\n"
    "\n"
    "    :param nov: the novelty function\n"
    "    :param beats: numpy array of beat locations\n"
    "    :param est_period: delta-hat, the estimated period in units of samples\n"
    "    :param lmbda: lambda, the weight for the penalty function\n"
    "\n"
    "    :returns: the beat score\n"
    "    ";

inline constexpr char kCreateDpBeatsDoc[] =
    "Create beats by dynamic programming based on novelty curve and estimated period.\n"
    "\n"
    "    :param nov: the novelty curve\n"
    "    :param est_period: delta-hat, the estimated period in units of samples\n"
    "    :param lmbda: lambda, the weight for the penalty function\n"
    "\n"
    "    :returns: tuple of (beat locations, D) where beat locations is a list of indices and D "
    "is the accumulated score vector\n"
    "    ";

// ---- beats that follow tempo changes (hmm_beats.cpp) ----------------

inline constexpr char kCreateHmmBeatsDoc[] =
    "Track beats whose tempo may change, by Viterbi decoding of a beat-pointer model.\n"
    "\n"
    "    A state is a beat period T (min_period .. max_period frames) and a position\n"
    "    phi (0 .. T-1) within the beat; the position advances one per frame, and the\n"
    "    period may change only where a beat ends, to T' with probability proportional\n"
    "    to exp(-transition_lambda * |T'/T - 1|).  Frames near a beat (min(phi, T - phi)\n"
    "    <= T / (2 * obs_lambda)) are scored by the curve scaled to its maximum, c,\n"
    "    the others by (1 - c) / (obs_lambda - 1); c is clipped to [1e-6, 1 - 1e-6].\n"
    "    Every state is equally likely at the start.  Among equally good paths the\n"
    "    smallest previous period, and finally the first state in (period, position)\n"
    "    order, is taken.\n"
    "\n"
    "    :param curve: a one-dimensional onset strength curve of finite values\n"
    "    :param min_period: the shortest beat period, in frames (integer, at least 1)\n"
    "    :param max_period: the longest beat period, in frames (integer, at most 65536)\n"
    "    :param transition_lambda: how strongly tempo changes are penalised (above 0)\n"
    "    :param obs_lambda: how narrow the region around each beat is (above 1)\n"
    "\n"
    "    :returns: tuple of (beats, periods): the frames where a beat starts (int64,\n"
    "        ascending) and the decoded period of every frame (float64); a curve with\n"
    "        no positive value has no beats and NaN periods\n"
    "    ";

inline constexpr char kHmmBeatsUpsampledDoc[] =
    "The beats of create_hmm_beats on a linearly interpolated curve, in memory\n"
    "independent of the curve's length (for korvel's own analysis road).\n"
    "\n"
    "    The same beats, bit for bit, as\n"
    "    create_hmm_beats(numpy.interp(numpy.arange(upsample * (len(curve) - 1) + 1) / upsample,\n"
    "    numpy.arange(len(curve)), curve), min_period, max_period, transition_lambda, obs_lambda)[0],\n"
    "    without forming the interpolated curve, its observations or a backpointer\n"
    "    per frame: the decoding runs in blocks of `block` frames (0: chosen by the\n"
    "    call) and decodes each block a second time for its trace-back.\n"
    "\n"
    "    :param curve: a one-dimensional onset strength curve of finite values\n"
    "    :param upsample: values of the interpolated curve per frame (1 .. 64)\n"
    "    :param min_period: the shortest beat period, in interpolated frames\n"
    "    :param max_period: the longest beat period, in interpolated frames\n"
    "    :param transition_lambda: how strongly tempo changes are penalised (above 0)\n"
    "    :param obs_lambda: how narrow the region around each beat is (above 1)\n"
    "    :param block: frames decoded per block (0 lets the call choose)\n"
    "\n"
    "    :returns: the interpolated frames where a beat starts (int64, ascending)\n"
    "    ";

}  // namespace pulsix
}  // namespace korvel
