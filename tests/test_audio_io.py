"""Reading audio and writing output files: errors as library errors, and
outputs that appear whole or not at all."""

import os
import socket
import stat
import subprocess
import sys

import numpy as np
import pytest

from korvel import audio_io, options
from korvel._errors import KorvelError, MissingExtra, need
from korvel.analysis import mix_to_mono
from korvel.audio_io import AudioError, OutputError, OutputSet
from _support import fifo_reader

sf = pytest.importorskip("soundfile")


# ---------------------------------------------------------------- reading


def test_load_audio_keeps_every_channel_and_describes_the_file(tmp_path):
    path = str(tmp_path / "st.flac")
    x = np.stack([np.linspace(-0.5, 0.5, 1000), np.linspace(0.25, -0.25, 1000)], axis=1)
    sf.write(path, x, 8000, subtype="PCM_24")
    audio = audio_io.load_audio(path, keep_channels=True)
    assert audio.frames.dtype == np.float32 and audio.frames.shape == (1000, 2)
    assert np.allclose(audio.frames, x, atol=2.0 ** -22)
    assert (audio.sample_rate, audio.label, audio.duration) == (8000, path, 1000 / 8000)
    assert audio.description == {"path": path, "format": "FLAC", "subtype": "PCM_24", "sample_rate": 8000,
                                 "channels": 2, "frames": 1000, "duration": 0.125}
    assert audio.channels == 2 and audio.mono.dtype == np.float64
    assert np.array_equal(audio.mono, mix_to_mono(audio.frames))


@pytest.mark.parametrize("channels", [1, 2, 3])
def test_mono_read_block_by_block_is_the_analysis_mix_bit_for_bit(tmp_path, monkeypatch, channels):
    path = str(tmp_path / "x.flac")
    x = np.random.default_rng(channels).uniform(-1, 1, (2500, channels))
    sf.write(path, x, 8000, subtype="PCM_24")
    whole = audio_io.load_audio(path, keep_channels=True)
    monkeypatch.setattr(audio_io, "READ_BLOCK", 999)  # blocks that do not divide the length
    audio = audio_io.load_audio(path)
    assert audio.frames is None and audio.channels == channels
    assert audio.mono.dtype == np.float64 and audio.mono.tobytes() == mix_to_mono(whole.frames).tobytes()
    assert audio.description == whole.description


class _Decoder:
    """A file whose header promises ``frames`` but that decodes to ``data``."""

    def __init__(self, data, frames):
        self.data, self.frames, self.channels, self.pos = data, frames, data.shape[1], 0

    def read(self, n, dtype, always_2d, out):
        k = min(n, len(self.data) - self.pos)
        out[:k] = self.data[self.pos:self.pos + k]
        self.pos += k
        return out[:k]


@pytest.mark.parametrize("promised", [0, 10, 2500, 4000])
def test_mono_read_follows_the_decoded_length_not_the_header(monkeypatch, promised):
    data = np.random.default_rng(5).uniform(-1, 1, (2500, 2)).astype(np.float32)
    monkeypatch.setattr(audio_io, "READ_BLOCK", 700)
    mono = audio_io._read_mono(_Decoder(data, promised))
    assert mono.tobytes() == mix_to_mono(data).tobytes()


@pytest.mark.parametrize("make, reason", [
    (lambda p: None, "no such file"),
    (lambda p: os.mkdir(p), "is a directory, not an audio file"),
    (lambda p: open(p, "wb").write(b""), "cannot read as audio ("),
    (lambda p: open(p, "wb").write(b"RIFF\x24\x00\x00\x00WAVEfmt " + bytes(200)), "cannot read as audio ("),
])
def test_unreadable_audio_is_an_audio_error_naming_the_file(tmp_path, make, reason):
    path = str(tmp_path / "x.wav")
    make(path)
    with pytest.raises(AudioError) as info:
        audio_io.load_audio(path)
    err = info.value
    assert err.path == path and err.reason.startswith(reason)
    assert str(err) == f"{path}: {err.reason}" and err.code == 1
    assert "\n" not in str(err)


@pytest.mark.parametrize("keep_channels", [False, True])
def test_only_the_decoders_errors_become_audio_errors(tmp_path, monkeypatch, keep_channels):
    path = str(tmp_path / "x.wav")
    sf.write(path, np.zeros((100, 2)), 8000)

    def decoder_fails(*args, **kwargs):
        raise RuntimeError("Internal error.")

    with monkeypatch.context() as m:
        m.setattr(sf.SoundFile, "read", decoder_fails)
        with pytest.raises(AudioError, match=r"x\.wav: cannot read as audio \(Internal error\)$"):
            audio_io.load_audio(path, keep_channels)

    def out_of_memory(*args):
        raise MemoryError

    monkeypatch.setattr(audio_io, "_mix_into", out_of_memory)
    with pytest.raises(MemoryError):
        audio_io.load_audio(path, keep_channels)


def test_demo_input_describes_the_clip():
    audio = audio_io.demo_input()
    assert audio.path is None and audio.label == "demo clip"
    assert audio.frames.shape == (audio.description["frames"], 1)
    assert audio.description["demo"]["bpm"] == 120.0


def test_missing_extra_names_package_and_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "somepkg", None)
    with pytest.raises(MissingExtra) as info:
        need("somepkg.sub", "doing it", "things")
    assert str(info.value) == "doing it needs the 'somepkg' package; install it with: pip install 'korvel[things]'"
    assert info.value.code == 1 and isinstance(info.value, KorvelError)


# ---------------------------------------------------------------- writing


def test_usable_destinations_pass(tmp_path):
    audio_io.check_destination(str(tmp_path / "ok.json"), "--json")
    audio_io.check_destination("-", "--json", stdout_ok=True)


def _symlink(link, target, make_target=False):
    if make_target:
        target.mkdir()
    link.symlink_to(target)
    return link


@pytest.mark.parametrize("make, option, message", [
    (lambda t: t, "--json", "is a directory"),
    (lambda t: t / "no" / "x.json", "--json", "directory {t}/no does not exist"),
    (lambda t: "-", "--plot", "cannot write this to standard output; give a file name"),
    (lambda t: _symlink(t / "l.json", t / "gone" / "x.json"), "--json", "directory {t}/gone does not exist"),
    (lambda t: _symlink(t / "ld", t / "d", make_target=True), "--json", "is a directory"),
], ids=["directory", "missing-directory", "stdout-for-a-plot", "dangling-link", "link-to-a-directory"])
def test_destination_checks_are_usage_errors(tmp_path, make, option, message):
    path = str(make(tmp_path))
    with pytest.raises(OutputError) as info:
        audio_io.check_destination(path, option)
    assert str(info.value) == f"{option} {path}: {message.format(t=tmp_path)}" and info.value.code == 2


def _writer(text):
    return lambda path: open(path, "w").write(text)


def _json_writer(doc):
    return lambda path: audio_io.write_json(path, doc)


def _broken(path):
    """A writer that fails half-way, as on a full disk."""
    open(path, "w").write("half")
    raise OSError(28, "No space left on device")


def test_output_set_renames_all_or_none(tmp_path):
    old = tmp_path / "a.txt"
    old.write_text("before")
    with pytest.raises(OSError):
        with OutputSet() as outputs:
            outputs.stage(str(old), _writer("after"))
            outputs.stage(str(tmp_path / "b.txt"), _broken)
    assert os.listdir(tmp_path) == ["a.txt"] and old.read_text() == "before"

    with OutputSet() as outputs:
        outputs.stage(str(old), _writer("after"))
        outputs.stage(str(tmp_path / "b.txt"), _writer("new"))
        assert not (tmp_path / "b.txt").exists()  # nothing visible before the end
    assert sorted(os.listdir(tmp_path)) == ["a.txt", "b.txt"]
    assert old.read_text() == "after" and (tmp_path / "b.txt").read_text() == "new"


def test_staged_files_get_the_permissions_of_a_plain_open(tmp_path):
    umask = os.umask(0o027)
    try:
        with OutputSet() as outputs:
            outputs.stage(str(tmp_path / "x.json"), lambda tmp: audio_io.write_json(tmp, {"a": [1]}))
    finally:
        os.umask(umask)
    assert stat.S_IMODE((tmp_path / "x.json").stat().st_mode) == 0o640
    assert (tmp_path / "x.json").read_text() == '{\n  "a": [\n    1\n  ]\n}\n'


def test_replaced_atomically_keeps_the_old_file_on_failure(tmp_path):
    dest, tmp = tmp_path / "r.bin", tmp_path / "r.bin.tmp"
    dest.write_bytes(b"old")
    with pytest.raises(RuntimeError):
        with audio_io.replaced_atomically(str(dest), str(tmp)) as path:
            open(path, "wb").write(b"partial")
            raise RuntimeError
    assert dest.read_bytes() == b"old" and not tmp.exists()
    with audio_io.replaced_atomically(str(dest), str(tmp)) as path:
        open(path, "wb").write(b"new")
    assert dest.read_bytes() == b"new" and os.listdir(tmp_path) == ["r.bin"]


def test_symlinked_destination_replaces_its_target_and_stays_a_link(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "real" / "out.json"
    target.write_text("old")
    link = tmp_path / "links" / "out.json"
    link.symlink_to(target)
    dangling = tmp_path / "links" / "new.json"
    dangling.symlink_to(tmp_path / "real" / "new.json")
    with OutputSet() as outputs:
        outputs.stage(str(link), _json_writer({"a": 1}))
        outputs.stage(str(dangling), _json_writer({"b": 2}))
        # Staged beside the target, where the rename into place cannot cross file systems.
        assert len(os.listdir(tmp_path / "real")) == 3 and len(os.listdir(tmp_path / "links")) == 2
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert dangling.is_symlink()
    assert target.read_text() == '{\n  "a": 1\n}\n'
    assert (tmp_path / "real" / "new.json").read_text() == '{\n  "b": 2\n}\n'
    assert sorted(os.listdir(tmp_path / "real")) == ["new.json", "out.json"]

    with audio_io.replaced_atomically(str(link), str(tmp_path / "links" / "x.tmp")) as part:
        assert os.path.dirname(part) == str(tmp_path / "real")
        open(part, "w").write("again")
    assert link.is_symlink() and target.read_text() == "again"


def test_fifo_destination_is_written_directly_after_the_regular_files(tmp_path):
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    thread, got = fifo_reader(fifo)
    with OutputSet() as outputs:
        outputs.stage(str(fifo), _json_writer({"tempo": 120.0}))
        outputs.stage(str(tmp_path / "b.txt"), _writer("b"))
    thread.join(10)
    assert got["data"] == b'{\n  "tempo": 120.0\n}\n'
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["b.txt", "out.fifo"]


def _unread(fd):
    try:
        return os.read(fd, 1 << 16)
    except BlockingIOError:  # no writer has come and gone: nothing was written
        return b""


def test_special_destinations_get_nothing_unless_every_output_is_complete(tmp_path):
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    # A reader that never blocks: anything written to the FIFO would wait here.
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        with pytest.raises(OSError):
            with OutputSet() as outputs:
                outputs.stage(str(fifo), _json_writer({"a": 1}))
                outputs.stage(str(tmp_path / "b.txt"), _broken)
        assert _unread(fd) == b"" and stat.S_ISFIFO(os.lstat(fifo).st_mode)
        assert os.listdir(tmp_path) == ["out.fifo"]

        with OutputSet() as outputs:
            outputs.stage(str(fifo), _json_writer({"a": 1}))
        assert _unread(fd) == b'{\n  "a": 1\n}\n'
    finally:
        os.close(fd)


def test_socket_destination_is_never_renamed_over(tmp_path):
    path = str(tmp_path / "s.sock")
    with socket.socket(socket.AF_UNIX) as sock:
        sock.bind(path)
        audio_io.check_destination(path, "--json")
        with pytest.raises(OSError):
            with OutputSet() as outputs:
                outputs.stage(path, _json_writer({}))
                outputs.stage(str(tmp_path / "b.txt"), _writer("b"))
        assert stat.S_ISSOCK(os.lstat(path).st_mode)
        assert os.listdir(tmp_path) == ["s.sock"]


def test_json_to_stdout(capsys):
    with OutputSet() as outputs:
        outputs.stage("-", _json_writer({"tempo": 99.5}))
        assert capsys.readouterr().out == ""  # not before the block ends
    assert capsys.readouterr().out == '{\n  "tempo": 99.5\n}\n'


def test_audio_format_follows_the_extension(tmp_path):
    assert audio_io.audio_format(str(tmp_path / "x.FLAC"), "--clicks") == "FLAC"
    with pytest.raises(OutputError, match=r"--clicks .*x\.mp4: cannot write audio as '\.mp4'"):
        audio_io.audio_format(str(tmp_path / "x.mp4"), "--clicks")


# ---------------------------------------------------------------- option types


@pytest.mark.parametrize("parse, text, value", [
    (options.number, "-2.5", -2.5), (options.number, "1e3", 1000.0),
    (options.seconds, "0", 0.0), (options.seconds, "7.5", 7.5),
    (options.whole_number, "3", 3),
])
def test_option_types_accept(parse, text, value):
    assert parse(text) == value and type(parse(text)) is type(value)


@pytest.mark.parametrize("parse, text, message", [
    (options.number, "x", "expected a number, got 'x'"),
    (options.number, "nan", "expected a finite number, got 'nan'"),
    (options.number, "-inf", "expected a finite number, got '-inf'"),
    (options.seconds, "x", "expected a number of seconds, got 'x'"),
    (options.seconds, "-1", "must be zero or more seconds, got '-1'"),
    (options.seconds, "inf", "must be zero or more seconds, got 'inf'"),
    (options.whole_number, "1.5", "expected a whole number, got '1.5'"),
    (options.whole_number, "0", "must be a positive number of samples, got 0"),
])
def test_option_types_refuse_with_one_clear_message(parse, text, message):
    import argparse

    with pytest.raises(argparse.ArgumentTypeError) as info:
        parse(text)
    assert str(info.value) == message


# ---------------------------------------------------------------- import boundaries


@pytest.mark.parametrize("module, absent", [
    ("korvel.batch", ["korvel.cli", "dask", "distributed", "pyarrow", "tqdm", "soundfile", "matplotlib"]),
    ("korvel.cli", ["dask", "distributed", "pyarrow", "tqdm", "soundfile", "matplotlib"]),
])
def test_importing_a_command_loads_no_heavy_dependency(module, absent):
    code = f"import sys, {module}; print(' '.join(m for m in {absent!r} if m in sys.modules))"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == ""
