"""Reading audio and writing output files: errors as library errors, and
outputs that appear whole or not at all."""

import os
import stat
import subprocess
import sys

import numpy as np
import pytest

from korvel import audio_io, options
from korvel._errors import KorvelError, MissingExtra, need
from korvel.audio_io import AudioError, OutputError, OutputSet

sf = pytest.importorskip("soundfile")


# ---------------------------------------------------------------- reading


def test_load_audio_keeps_every_channel_and_describes_the_file(tmp_path):
    path = str(tmp_path / "st.flac")
    x = np.stack([np.linspace(-0.5, 0.5, 1000), np.linspace(0.25, -0.25, 1000)], axis=1)
    sf.write(path, x, 8000, subtype="PCM_24")
    audio = audio_io.load_audio(path)
    assert audio.frames.dtype == np.float32 and audio.frames.shape == (1000, 2)
    assert np.allclose(audio.frames, x, atol=2.0 ** -22)
    assert (audio.sample_rate, audio.label, audio.duration) == (8000, path, 1000 / 8000)
    assert audio.description == {"path": path, "format": "FLAC", "subtype": "PCM_24", "sample_rate": 8000,
                                 "channels": 2, "frames": 1000, "duration": 0.125}


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


def test_destination_checks_are_usage_errors(tmp_path):
    audio_io.check_destination(str(tmp_path / "ok.json"), "--json")
    cases = [(str(tmp_path), "is a directory"),
             (str(tmp_path / "no" / "x.json"), f"directory {tmp_path / 'no'} does not exist")]
    for path, message in cases:
        with pytest.raises(OutputError) as info:
            audio_io.check_destination(path, "--json")
        assert str(info.value) == f"--json {path}: {message}" and info.value.code == 2


def test_output_set_renames_all_or_none(tmp_path):
    old = tmp_path / "a.txt"
    old.write_text("before")

    def write(text):
        return lambda tmp: open(tmp, "w").write(text)

    def broken(tmp):
        open(tmp, "w").write("half")
        raise OSError(28, "No space left on device")

    with pytest.raises(OSError):
        with OutputSet() as outputs:
            outputs.stage(str(old), write("after"))
            outputs.stage(str(tmp_path / "b.txt"), broken)
    assert os.listdir(tmp_path) == ["a.txt"] and old.read_text() == "before"

    with OutputSet() as outputs:
        outputs.stage(str(old), write("after"))
        outputs.stage(str(tmp_path / "b.txt"), write("new"))
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
