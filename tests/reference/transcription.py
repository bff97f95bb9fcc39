"""Plain Python + NumPy transcription of korvel's algorithms.

This is what a user would write without korvel: the same steps, in the same
order, executed by the interpreter.  The benchmark times korvel against it,
and the test suite uses it as an independent oracle: korvel's results must
match these bit for bit.
"""

import numpy as np


def calc_num_frames(x_len, win_len, hop_size):
    if x_len == 0:
        return 0
    if x_len <= win_len:
        return 1
    return 1 + -(-(x_len - win_len) // hop_size)


def freq_to_pitch(f):
    return 12 * np.log2(f / 440.0) + 69


def stft(x, win_len, hop_size, zp_factor=1, window=None, centered=True):
    if window is None:
        window = np.hanning(win_len)
    else:
        win_len = len(window)
    num_bins = zp_factor * win_len // 2 + 1
    if centered:
        x = np.concatenate((np.zeros(win_len // 2), x))
    num_hops = calc_num_frames(len(x), win_len, hop_size)
    new_x_len = (num_hops - 1) * hop_size + win_len
    if new_x_len > len(x):
        x = np.concatenate((x, np.zeros(new_x_len - len(x))))
    output = np.empty((num_bins, num_hops), dtype=complex)
    for h in range(num_hops):
        start = h * hop_size
        end = start + win_len
        sig = x[start:end] * window
        if zp_factor > 1:
            sig = np.pad(sig, (0, win_len * (zp_factor - 1)), "constant")
        output[:, h] = np.fft.rfft(sig)
    return output


def stft_mag(x, win_len, hop_size, zp_factor=1):
    return np.abs(stft(x, win_len, hop_size, zp_factor))


def spectral_novelty(x, fft_len, hop_size, gamma):
    spec = stft_mag(x, fft_len, hop_size) ** 2
    log_spec = np.log10(1 + gamma * spec)
    dls = log_spec[:, 1:] - log_spec[:, :-1]
    dls[dls < 0] = 0
    spec_nov = np.sum(dls, axis=0)
    ave_len = 9
    win = np.hanning(ave_len)
    win /= np.sum(win)
    la = np.convolve(spec_nov, win, mode="same") * 1.02
    spec_nov -= la
    spec_nov[spec_nov < 0] = 0
    spec_nov /= np.max(spec_nov)
    return spec_nov


def make_clicks(frames, out_len=0, click_snd=None):
    if click_snd is None:
        click_len = 50
        click_snd = 0.5 * np.ones(click_len)
    else:
        click_len = len(click_snd)
    frames = frames.astype(int)
    out = np.zeros(frames[-1] + click_len)
    for f in frames:
        out[f:f + click_len] += click_snd
    if out_len:
        out.resize(out_len)
    return out


def auto_correlate(x):
    ac = np.correlate(x, x, mode="full")
    return ac[len(x) - 1:]


def make_ac_tempogram(x, win_len, hop_size):
    tg_len = int((len(x) - win_len) / hop_size)
    out = np.empty((win_len, tg_len))
    for n in range(tg_len):
        out[:, n] = auto_correlate(x[n * hop_size:n * hop_size + win_len])
    return out


def bpm_to_k(bpm, fft_len, ff):
    return int(np.round(bpm / 60.0 * fft_len / ff))


def ceil_bin(bpm, fft_len, ff):
    # The tempo searches round a tempo's bin up, where bpm_to_k rounds it.
    return int(np.ceil(bpm / 60.0 * fft_len / ff))


def best_tempogram_bins(tg, ff, bpm_min, bpm_max):
    fft_len = (tg.shape[0] - 1) * 2
    k_min = ceil_bin(bpm_min, fft_len, ff)
    k_max = ceil_bin(bpm_max, fft_len, ff)
    tg_mag = np.abs(tg)[k_min:k_max, :]
    bins = np.argmax(tg_mag, axis=0) + k_min
    return bins


def get_sinusoid_params(spec, fs, bins):
    fft_len = (spec.shape[0] - 1) * 2
    freqs = bins * float(fs) / fft_len
    values = np.array([spec[b, i] for i, b in enumerate(bins)])
    phases = np.angle(values)
    return freqs, phases


def make_local_pulse(nov, ff, bpm_min, bpm_max, win_len_tg=256, hop_tg=64, zp_tg=16):
    tg = stft(nov, win_len_tg, hop_tg, zp_tg, centered=False)
    bins = best_tempogram_bins(tg, ff, bpm_min, bpm_max)
    freqs, phases = get_sinusoid_params(tg, ff, bins)
    n = np.arange(win_len_tg)
    win = np.hanning(win_len_tg)
    num_hops = len(freqs)
    est = np.zeros(num_hops * hop_tg + win_len_tg)
    for m in range(num_hops):
        est_m = win * np.cos(2 * np.pi * freqs[m] * n / ff + phases[m])
        start = m * hop_tg
        est[start:start + win_len_tg] += est_m
    est[est < 0] = 0
    return est


def estimate_bpm(nov, ff, bpm_min, bpm_max):
    win_tg = 256
    hop_tg = 32
    zp_tg = 16
    fft_len = win_tg * zp_tg
    tg = stft(nov, win_tg, hop_tg, zp_tg, centered=False)
    tg = np.abs(tg)
    ave_tg = np.mean(tg, axis=1)

    k_min = ceil_bin(bpm_min, fft_len, ff)
    k_max = ceil_bin(bpm_max, fft_len, ff)
    b = k_min + np.argmax(ave_tg[k_min:k_max])
    freq_res = ff / fft_len
    return 60 * b * freq_res


def beats_score(nov, beats, est_period, lmbda=10):
    a = np.sum(nov[beats])
    deltas = beats[1:] - beats[:-1]
    b = np.sum(-np.log2(deltas / float(est_period)) ** 2)
    return a + lmbda * b


def create_dp_beats(nov, est_period, lmbda):
    nov = np.pad(nov, (1, 0))
    N = len(nov)
    D = np.zeros(N, dtype=float)
    P = np.zeros(N, dtype=int)
    D[1] = nov[1]
    deltas = np.arange(N, dtype=float)
    deltas[0] = 1e-4
    penalty = -lmbda * np.log2(deltas / est_period) ** 2
    for n in range(2, len(nov)):
        m = np.arange(1, n)
        scores = D[m] + penalty[n - m]
        idx = np.argmax(scores)
        best_score = scores[idx]
        best_m = idx + 1
        D[n] = nov[n] + max(best_score, 0)
        if D[n] == nov[n]:
            P[n] = 0
        else:
            P[n] = best_m
    beats = []
    n = np.argmax(D)
    while n > 0:
        beats.append(n)
        n = P[n]
    beats.reverse()
    return np.array(beats) - 1, D
