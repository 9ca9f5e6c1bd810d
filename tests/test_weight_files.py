"""Weight files from disk: files that cannot give one value per parameter,
networks far costlier than the shipped ones, paths as the operating system
sees them, and reading without holding the interpreter lock."""
import os
import pathlib
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import eisnn_io
import velotz

DATA = pathlib.Path(__file__).parent / "data"
TINY = DATA / "tiny.eisnn"
F = np.logspace(-1, 4, 30)
Z = velotz.Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.8]).impedance(F)
NAMES = ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]


@pytest.mark.parametrize("names", [NAMES[:3], NAMES[:1], [], NAMES + ["extra.x"]])
def test_param_names_must_match_the_circuit(tmp_path, names):
    path = tmp_path / "net.eisnn"
    path.write_bytes(eisnn_io.network("R0-(R1,CPE1)", names))
    # An empty list is written as one empty name.
    listed = max(len(names), 1)
    message = (f"weight file lists {listed} parameter name{'' if listed == 1 else 's'} "
               f'but its circuit "R0-(R1,CPE1)" has 4 parameters')
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(path))
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,CPE1)").fit(F, Z, weights=str(path))
    assert str(info.value) == message


def test_matching_names_load(tmp_path):
    path = tmp_path / "net.eisnn"
    path.write_bytes(eisnn_io.network("R0-(R1,CPE1)", NAMES))
    # Zero weights, zero means and log-scaled outputs: every value is exp(0).
    assert velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(path)) == [1.0, 1.0, 1.0, 1.0]


def test_network_far_costlier_than_shipped_is_refused(tmp_path):
    # 256 channels, 4 blocks of two 256x256x5 convolutions on a 1024-point grid:
    # 1024 * (256*3*5 + 8*256*256*5) multiply-adds, about 2.7e9.
    big = tmp_path / "big.eisnn"
    big.write_bytes(eisnn_io.network("R0-(R1,CPE1)", NAMES, channels=256, n_grid=1024, dilations=(1, 2, 4, 8),
                                     groups=8))
    cost = 1024 * (256 * 3 * 5 + 8 * 256 * 256 * 5) + 8 * (2 * 256 + 2) + 64 + 4 * 8
    start = time.perf_counter()
    with pytest.raises(ValueError) as info:
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(big))
    assert time.perf_counter() - start < 5
    assert str(info.value) == (f"weight file declares a network of {cost} multiply-adds per guess, more than the "
                               "limit of 1000000000 for networks read from disk")
    # The same network on the shipped 64-point grid is within the limit and runs.
    small = tmp_path / "small.eisnn"
    small.write_bytes(eisnn_io.network("R0-(R1,CPE1)", NAMES, channels=256, n_grid=64, dilations=(1, 2, 4, 8),
                                       groups=8))
    assert velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(small)) == [1.0] * 4


def test_pathlike_is_accepted():
    by_str = velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(TINY))
    assert velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=TINY) == by_str

    class Custom:
        def __fspath__(self):
            return os.fsencode(str(TINY))

    assert velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=Custom()) == by_str
    assert velotz.Circuit("R0-(R1,CPE1)").fit(F, Z, weights=TINY).success


@pytest.mark.parametrize("method", ["guess", "fit"])
def test_embedded_nul_is_refused(tmp_path, method):
    shutil_copy(TINY, tmp_path / "a.eisnn")
    path = str(tmp_path / "a.eisnn") + "\x00/no/such/file"
    with pytest.raises(ValueError, match="^argument 'weights': embedded null byte$"):
        getattr(velotz.Circuit("R0-(R1,CPE1)"), method)(F, Z, weights=path)


def test_undecodable_name_opens_that_file(tmp_path):
    if sys.getfilesystemencoding().lower() not in ("utf-8", "utf8"):
        pytest.skip("needs a UTF-8 file system encoding")
    # "net\udc80" is the name b"net\x80" decoded with surrogateescape; "net?" is
    # what a lossy conversion would open instead.
    good = os.fsencode(str(tmp_path)) + b"/net\x80.eisnn"
    with open(good, "wb") as f:
        f.write(TINY.read_bytes())
    (tmp_path / "net?.eisnn").write_bytes(b"garbage")
    path = os.fsdecode(good)
    assert "\udc80" in path
    got = velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=path)
    assert got == velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=str(TINY))


@pytest.mark.parametrize("value", [b"net.eisnn", 3, ["a"]])
def test_other_types_are_refused_as_before(value):
    with pytest.raises(TypeError, match=rf"^argument 'weights': '{type(value).__name__}' object cannot be converted"):
        velotz.Circuit("R0-(R1,CPE1)").guess(F, Z, weights=value)


def shutil_copy(src, dst):
    pathlib.Path(dst).write_bytes(pathlib.Path(src).read_bytes())


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_reading_a_pipe_does_not_hold_the_interpreter_lock(tmp_path):
    # The guess blocks on an empty pipe in a second thread; the main thread must
    # keep running Python code, and only then feed the pipe. A guess that held
    # the lock would hang the child, which the timeout turns into a failure.
    fifo = tmp_path / "pipe.eisnn"
    os.mkfifo(fifo)
    code = textwrap.dedent(f"""
        import threading, time, numpy as np, velotz
        f = np.logspace(-1, 4, 30)
        z = velotz.Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.8]).impedance(f)
        out = []
        t = threading.Thread(target=lambda: out.append(velotz.Circuit("R0-(R1,CPE1)").guess(f, z, weights={str(fifo)!r})))
        t.start()
        time.sleep(0.3)
        n = sum(range(100000))  # Python work while the guess waits on the pipe
        with open({str(fifo)!r}, "wb") as w:
            w.write(open({str(TINY)!r}, "rb").read())
        t.join()
        print(n, len(out[0]))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == [str(sum(range(100000))), "4"]
