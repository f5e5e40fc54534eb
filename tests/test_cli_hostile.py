"""Hostile inputs for dic2d_cli: every one must end in its own failure line
(or a clean success), promptly, in little memory, without touching an
earlier output file."""

from __future__ import annotations

import functools
import json
import os
import resource
import signal
import stat
import struct
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

MiB = 1024 * 1024
# A run that goes astray on a hostile header would allocate gigabytes; the
# legitimate runs here need a few MiB.
ADDRESS_LIMIT = 512 * MiB
PEAK_RSS_LIMIT_KIB = 256 * 1024
# Upper bound for a run that must finish "at once"; a hang is caught here
# rather than by the suite's global timeout.
RUN_TIMEOUT_S = 120.0

WIDTH = HEIGHT = 64
SPACING = "4"  # grid step 5
SEED = ("30", "30")


# ---------------------------------------------------------------------------
# Running the program


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    maxrss_kib: int


@functools.cache
def _links_asan(cli: str) -> bool:
    if "asan" in cli:
        return True
    try:
        out = subprocess.run(["ldd", cli], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return False
    return "libasan" in out


@pytest.fixture(scope="session")
def sanitized(dic2d_cli: str) -> bool:
    return _links_asan(dic2d_cli)


def _limit_address_space() -> None:
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_LIMIT, ADDRESS_LIMIT))


def run_cli(cli: str, args, *, limit_memory: bool = False, timeout: float = RUN_TIMEOUT_S) -> Run:
    """Runs the program and reaps it with wait4 so that its own peak RSS is known.

    A sanitized build reserves terabytes of shadow address space, and its
    peak RSS includes the forked interpreter (with the sanitizer runtime
    preloaded) from before exec, so neither limit applies to it: the peak is
    reported as 0 and the address-space limit is not set."""
    sanitized_build = _links_asan(cli)
    limit_memory = limit_memory and not sanitized_build
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(
            [cli, *[str(a) for a in args]],
            stdin=subprocess.DEVNULL,
            stdout=out,
            stderr=err,
            preexec_fn=_limit_address_space if limit_memory else None,
        )
        deadline = time.monotonic() + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() > deadline:
                proc.kill()
                os.wait4(proc.pid, 0)
                proc.returncode = -signal.SIGKILL
                pytest.fail(f"dic2d_cli did not finish within {timeout} s: {args!r}")
            time.sleep(0.002)
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        peak = 0 if sanitized_build else usage.ru_maxrss
        return Run(proc.returncode, out.read(), err.read(), peak)


def json_string(text: str) -> str:
    """The report's string form: only the double quote, the backslash and the
    line feed are escaped."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def failure_line(message: str) -> bytes:
    return ('{"ok":false,"error":' + json_string(message) + "}\n").encode()


def assert_fails(run: Run, message: str) -> None:
    assert run.stdout == failure_line(message), run.stdout
    assert run.status == 1
    assert run.stderr == b""
    assert run.maxrss_kib < PEAK_RSS_LIMIT_KIB


def success_report(run: Run) -> dict:
    assert run.status == 0, run.stdout
    assert run.stderr == b""
    assert run.stdout.endswith(b"\n") and run.stdout.count(b"\n") == 1
    report = json.loads(run.stdout)
    assert report["ok"] is True
    return report


# ---------------------------------------------------------------------------
# Input files


def image_bytes(pixels: np.ndarray) -> bytes:
    """pixels[x, y] -> header and x-major float64 values."""
    w, h = pixels.shape
    return struct.pack("<ii", w, h) + np.ascontiguousarray(pixels, dtype="<f8").tobytes()


def mask_bytes(values: np.ndarray) -> bytes:
    w, h = values.shape
    return struct.pack("<ii", w, h) + np.ascontiguousarray(values, dtype=np.uint8).tobytes()


def speckle(width: int, height: int, seed: int) -> np.ndarray:
    """Smoothed random texture, unique under every shift (no periodic ties)."""
    rng = np.random.default_rng(seed)
    noise = rng.random((width + 4, height + 4))
    kernel = np.array([1.0, 4.0, 6.0, 4.0, 1.0]) / 16.0
    smooth = sum(kernel[k] * noise[k : k + width, :] for k in range(5))
    smooth = sum(kernel[k] * smooth[:, k : k + height] for k in range(5))
    return 50.0 + 150.0 * smooth


@dataclass
class Inputs:
    root: Path
    reference: Path
    deformed: Path
    mask: Path

    def args(self, **overrides) -> list[str]:
        """A valid command line; keyword overrides replace or add options."""
        options = {
            "reference": str(self.reference),
            "deformed": str(self.deformed),
            "mask": str(self.mask),
            "subset-spacing": SPACING,
            "seed-x": SEED[0],
            "seed-y": SEED[1],
        }
        for key, value in overrides.items():
            options[key.replace("_", "-")] = value
        out: list[str] = []
        for key, value in options.items():
            if value is not None:
                out += ["--" + key, str(value)]
        return out


@pytest.fixture(scope="module")
def inputs(tmp_path_factory) -> Inputs:
    root = tmp_path_factory.mktemp("hostile")
    texture = speckle(WIDTH, HEIGHT, seed=7)
    (root / "ref.bin").write_bytes(image_bytes(texture))
    (root / "def.bin").write_bytes(image_bytes(texture))
    (root / "mask.bin").write_bytes(mask_bytes(np.ones((WIDTH, HEIGHT))))
    return Inputs(root, root / "ref.bin", root / "def.bin", root / "mask.bin")


def output_size(reduced_width: int, reduced_height: int) -> int:
    return 8 + 89 * reduced_width * reduced_height


def test_baseline_run_succeeds(dic2d_cli, inputs, tmp_path):
    out = tmp_path / "out.bin"
    report = success_report(run_cli(dic2d_cli, inputs.args(output=out), limit_memory=True))
    assert (report["reduced_width"], report["reduced_height"]) == (13, 13)
    assert report["reference_grid_points"] == 25
    assert report["valid_points"] == 25
    assert out.stat().st_size == output_size(13, 13)


# ---------------------------------------------------------------------------
# Headers and truncation

TRUNC = "Input binary file is truncated."
LENGTH = "vector::_M_default_append"


def header(width: int, height: int, data: bytes = b"") -> bytes:
    return struct.pack("<ii", width, height) + data


IMAGE_HEADER_CASES = [
    ("empty", b"", TRUNC),
    ("half width", b"\x01\x00", TRUNC),
    ("width only", struct.pack("<i", 64), TRUNC),
    ("7 bytes", header(64, 64)[:7], TRUNC),
    ("30000x30000 header only", header(30000, 30000), TRUNC),
    ("30000x30000 with some data", header(30000, 30000, bytes(8000)), TRUNC),
    ("max x max", header(2**31 - 1, 2**31 - 1), LENGTH),
    ("min x min", header(-(2**31), -(2**31)), LENGTH),
    ("min x -1 (2^31 values)", header(-(2**31), -1), TRUNC),
    ("negative width", header(-1, 5), LENGTH),
    ("negative height", header(5, -1), LENGTH),
    ("min x 1", header(-(2**31), 1), LENGTH),
    ("-1 x -1 without data", header(-1, -1), TRUNC),
    ("4x3 with 95 data bytes", header(4, 3, bytes(95)), TRUNC),
]


@pytest.mark.parametrize("slot,label", [("reference", "Reference image"), ("deformed", "Deformed image")])
@pytest.mark.parametrize("name,content,message", IMAGE_HEADER_CASES, ids=[c[0] for c in IMAGE_HEADER_CASES])
def test_hostile_image_header(dic2d_cli, inputs, tmp_path, sanitized, slot, label, name, content, message):
    bad = tmp_path / "bad.bin"
    bad.write_bytes(content)
    run = run_cli(dic2d_cli, inputs.args(**{slot: bad}), limit_memory=not sanitized)
    assert_fails(run, message)


@pytest.mark.parametrize(
    "content,message",
    [
        (header(0, 7), " dimensions must be positive."),
        (header(-1, -1, bytes(8)), " dimensions must be positive."),
        (header(4, 3, bytes(100)), None),  # loads; trailing bytes ignored
    ],
    ids=["0x7", "-1x-1 with one value", "4x3 with 100 bytes"],
)
@pytest.mark.parametrize("slot,label", [("reference", "Reference image"), ("deformed", "Deformed image")])
def test_header_that_loads_is_rejected_by_validation(dic2d_cli, inputs, tmp_path, slot, label, content, message):
    bad = tmp_path / "odd.bin"
    bad.write_bytes(content)
    expected = label + message if message else "Reference and deformed images must have the same dimensions."
    assert_fails(run_cli(dic2d_cli, inputs.args(**{slot: bad})), expected)


MASK_HEADER_CASES = [
    ("empty", b"", TRUNC),
    ("7 bytes", header(64, 64)[:7], TRUNC),
    ("30000x30000 header only", header(30000, 30000), TRUNC),
    # 2^62 bytes is still a representable byte count: the file is just short.
    ("max x max", header(2**31 - 1, 2**31 - 1), TRUNC),
    ("negative width", header(-7, 64), LENGTH),
    ("short data", header(64, 64, bytes(64 * 64 - 1)), TRUNC),
    ("0x7", header(0, 7), "ROI mask dimensions must be positive."),
    ("63x64", header(63, 64, bytes(63 * 64)), "ROI mask dimensions must match the reference image."),
]


@pytest.mark.parametrize("name,content,message", MASK_HEADER_CASES, ids=[c[0] for c in MASK_HEADER_CASES])
def test_hostile_mask_header(dic2d_cli, inputs, tmp_path, sanitized, name, content, message):
    bad = tmp_path / "mask.bin"
    bad.write_bytes(content)
    assert_fails(run_cli(dic2d_cli, inputs.args(mask=bad), limit_memory=not sanitized), message)


def test_huge_header_through_a_pipe_stays_small(dic2d_cli, inputs, tmp_path, sanitized):
    """A stream of unknown length announcing 30000 x 30000 values but ending
    early must not reserve the announced size first."""
    fifo = tmp_path / "ref.fifo"
    os.mkfifo(fifo)
    payload = header(30000, 30000, bytes(3 * MiB))

    def feed() -> None:
        try:
            with open(fifo, "wb") as pipe:
                pipe.write(payload)
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    run = run_cli(dic2d_cli, inputs.args(reference=fifo), limit_memory=not sanitized)
    writer.join(timeout=RUN_TIMEOUT_S)
    assert_fails(run, TRUNC)


# ---------------------------------------------------------------------------
# Paths


def test_missing_and_unusable_paths(dic2d_cli, inputs, tmp_path):
    plain = tmp_path / "plain.bin"
    plain.write_bytes(b"x")
    cases = [
        ("reference", tmp_path / "missing.bin", "Could not open image binary: "),
        ("deformed", tmp_path / "missing.bin", "Could not open image binary: "),
        ("mask", tmp_path / "missing.bin", "Could not open mask binary: "),
        ("reference", tmp_path, "Could not open image binary: "),
        ("mask", tmp_path, "Could not open mask binary: "),
        # A regular file used as a directory: ENOTDIR, even for root.
        ("reference", plain / "child.bin", "Could not open image binary: "),
        ("mask", plain / "child.bin", "Could not open mask binary: "),
        ("reference", "", "Could not open image binary: "),
    ]
    for slot, path, prefix in cases:
        run = run_cli(dic2d_cli, inputs.args(**{slot: path}))
        assert_fails(run, prefix + str(path))


def test_unreadable_file(dic2d_cli, inputs, tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads files whatever their mode; covered by the non-directory path case")
    locked = tmp_path / "locked.bin"
    locked.write_bytes(inputs.reference.read_bytes())
    locked.chmod(0)
    assert_fails(run_cli(dic2d_cli, inputs.args(reference=locked)), "Could not open image binary: " + str(locked))


def test_hostile_path_text_is_escaped(dic2d_cli, inputs, tmp_path):
    """Quotes, backslashes, line feeds and control bytes of a path must still
    give one valid JSON line carrying the path unchanged."""
    for name in ['q"uote.bin', "back\\slash.bin", "line\nfeed.bin", "ctl\x01\x1f\tbyte.bin"]:
        path = str(tmp_path / name)
        run = run_cli(dic2d_cli, inputs.args(reference=path))
        assert run.status == 1
        assert run.stdout.endswith(b"\n") and run.stdout.count(b"\n") == 1
        assert not any(b < 0x20 for b in run.stdout[:-1]), run.stdout
        assert json.loads(run.stdout) == {"ok": False, "error": "Could not open image binary: " + path}


# ---------------------------------------------------------------------------
# Non-finite, huge and malformed values

SEED_MSG = "Seed point must be finite, in bounds, and inside the ROI mask."
DIFFNORM_MSG = "cutoff_diffnorm must be in (0, 1e-2]."

VALUE_FAILURES = [
    ({"seed_x": "nan"}, SEED_MSG),
    ({"seed_x": "-nan"}, SEED_MSG),
    ({"seed_y": "NAN(123)"}, SEED_MSG),
    ({"seed_x": "inf"}, SEED_MSG),
    ({"seed_y": "-infinity"}, SEED_MSG),
    ({"seed_x": "1e300"}, SEED_MSG),
    ({"seed_y": "-1e300"}, SEED_MSG),
    ({"seed_x": "1e12"}, SEED_MSG),
    ({"seed_x": "9.3e18"}, SEED_MSG),
    ({"seed_x": "-9.3e18"}, SEED_MSG),
    ({"seed_x": "0x1p63"}, SEED_MSG),
    ({"seed_x": "2147483650"}, SEED_MSG),
    ({"seed_x": "-0.4"}, "Seed point must be aligned to the reduced grid."),
    ({"seed_x": "1e400"}, "stod"),
    ({"seed_x": "-1e400"}, "stod"),
    ({"seed_y": "1e-400"}, "stod"),
    ({"seed_y": "4e-320"}, "stod"),
    ({"seed_x": ""}, "stod"),
    ({"seed_x": "  "}, "stod"),
    ({"seed_x": "e5"}, "stod"),
    ({"cutoff_diffnorm": "inf"}, DIFFNORM_MSG),
    ({"cutoff_diffnorm": "-inf"}, DIFFNORM_MSG),
    ({"cutoff_diffnorm": "1e300"}, DIFFNORM_MSG),
    ({"cutoff_diffnorm": "-0"}, DIFFNORM_MSG),
    ({"units_per_pixel": "-inf"}, "units_per_pixel must be positive."),
    ({"units_per_pixel": "0"}, "units_per_pixel must be positive."),
    ({"subset_radius": "99999999999999999999"}, "stoi"),
    ({"subset_radius": "2147483648"}, "stoi"),
    ({"subset_radius": "-2147483649"}, "stoi"),
    ({"subset_radius": ""}, "stoi"),
    ({"subset_radius": "-"}, "stoi"),
    ({"cutoff_iteration": "0x10"}, "cutoff_iteration must be at least 5."),
    ({"subset_radius": "-2147483648"}, "subset_radius must be at least 10."),
    ({"seed_search_radius": "-2147483648"}, "seed_search_radius must be non-negative."),
    ({"rg_search_radius": "-1"}, "rg_search_radius must be non-negative."),
    ({"roi_min_region_area": "-2147483648"}, "roi_min_region_area must be non-negative."),
    ({"num_threads": "-2147483648"}, "num_threads must be positive."),
    ({"cutoff_iteration": "-2147483648"}, "cutoff_iteration must be at least 5."),
    # The pitch of spacing 2^31 - 1 overflows 32 bits: caught with the
    # spacing message at seed (0, 0), by the alignment check elsewhere.
    ({"subset_spacing": "2147483647", "seed_x": "0", "seed_y": "0"}, "subset_spacing must be non-negative."),
    ({"subset_spacing": "2147483647"}, "Seed point must be aligned to the reduced grid."),
    ({"roi_min_region_area": "2147483647"}, "ROI mask does not contain a region larger than roi_min_region_area."),
    ({"subset_radius": "2147483647"}, "NCC initial guess failed to find a valid candidate."),
    (
        {"subset_radius": "2147483647", "subset_truncation": "1", "seed_search_radius": "0"},
        "NCC initial guess failed to find a valid candidate.",
    ),
    (
        {"subset_radius": "2147483647", "seed_search_radius": "2147483647"},
        "NCC initial guess failed to find a valid candidate.",
    ),
]


@pytest.mark.parametrize(
    "overrides,message", VALUE_FAILURES, ids=[",".join(f"{k}={v}" for k, v in o.items()) for o, _ in VALUE_FAILURES]
)
def test_hostile_values_fail_cleanly(dic2d_cli, inputs, sanitized, overrides, message):
    assert_fails(run_cli(dic2d_cli, inputs.args(**overrides), limit_memory=not sanitized), message)


VALUE_SUCCESSES = [
    # Comparisons written as "<= 0" or "> bound" let NaN through; the run
    # must still finish and report normally.
    ({"cutoff_diffnorm": "nan"}, 25),
    ({"units_per_pixel": "nan"}, 25),
    ({"units_per_pixel": "inf"}, 25),
    ({"cutoff_corrcoef": "nan"}, 25),
    ({"cutoff_corrcoef": "inf"}, 1),
    ({"cutoff_corrcoef": "1e300"}, 1),
    ({"cutoff_corrcoef": "-inf"}, 25),
    ({"lenscoef": "nan"}, 25),
    ({"lenscoef": "-inf"}, 25),
    ({"obs_x": "nan", "obs_y": "1e400x"}, None),  # obs-y overflows: "stod"
    ({"seed_x": "0x1.ep+4"}, 25),  # hexadecimal 30
    ({"cutoff_iteration": "2147483647"}, 25),
    ({"num_threads": "2147483647"}, 25),
    ({"seed_search_radius": "2147483647"}, 25),
    ({"rg_search_radius": "2147483647"}, 25),
    ({"rg_search_radius": "2147483647", "seed_search_radius": "0"}, 25),
]


@pytest.mark.parametrize(
    "overrides,valid", VALUE_SUCCESSES, ids=[",".join(f"{k}={v}" for k, v in o.items()) for o, _ in VALUE_SUCCESSES]
)
def test_hostile_values_that_still_run(dic2d_cli, inputs, sanitized, overrides, valid):
    run = run_cli(dic2d_cli, inputs.args(**overrides), limit_memory=not sanitized)
    if valid is None:
        assert_fails(run, "stod")
        return
    report = success_report(run)
    assert report["reference_grid_points"] == 25
    assert report["valid_points"] == valid
    assert run.maxrss_kib < PEAK_RSS_LIMIT_KIB


@pytest.mark.parametrize(
    "key,huge,ordinary",
    [("seed_search_radius", "2147483647", "0"), ("rg_search_radius", "2147483647", "1")],
)
def test_unbounded_search_radius_matches_the_clipped_search(dic2d_cli, inputs, tmp_path, key, huge, ordinary):
    """A search window larger than the image is the whole image: the field
    equals that of a window that already covers every usable candidate."""
    a, b = tmp_path / "huge.bin", tmp_path / "ordinary.bin"
    ra = run_cli(dic2d_cli, inputs.args(output=a, **{key: huge}))
    rb = run_cli(dic2d_cli, inputs.args(output=b, **{key: ordinary}))
    assert success_report(ra) == success_report(rb)
    assert a.read_bytes() == b.read_bytes()


def test_many_and_long_arguments(dic2d_cli, inputs):
    junk = []
    for i in range(5000):
        junk += [f"--junk{i}", "x" * 50]
    junk += ["--" + "k" * 100_000, "v" * 100_000]  # each below MAX_ARG_STRLEN
    report = success_report(run_cli(dic2d_cli, junk + inputs.args()))
    assert report["valid_points"] == 25
    run = run_cli(dic2d_cli, junk + inputs.args() + ["--dangling"])
    assert_fails(run, "Arguments must be provided as --key value pairs.")


# ---------------------------------------------------------------------------
# Output paths and earlier results


def test_output_in_missing_directory(dic2d_cli, inputs, tmp_path):
    target = tmp_path / "no" / "such" / "dir" / "out.bin"
    assert_fails(run_cli(dic2d_cli, inputs.args(output=target)), "Could not open output binary: " + str(target))
    assert not (tmp_path / "no").exists()


def test_output_through_a_file_component(dic2d_cli, inputs, tmp_path):
    plain = tmp_path / "plain"
    plain.write_bytes(b"keep")
    target = plain / "out.bin"
    assert_fails(run_cli(dic2d_cli, inputs.args(output=target)), "Could not open output binary: " + str(target))
    assert plain.read_bytes() == b"keep"


def test_output_is_a_directory(dic2d_cli, inputs, tmp_path):
    target = tmp_path / "outdir"
    target.mkdir()
    (target / "inside").write_bytes(b"keep")
    before = sorted(p.name for p in tmp_path.iterdir())
    assert_fails(run_cli(dic2d_cli, inputs.args(output=target)), "Could not open output binary: " + str(target))
    assert target.is_dir() and (target / "inside").read_bytes() == b"keep"
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # no stray temporary file


def test_failed_runs_leave_an_earlier_output_alone(dic2d_cli, inputs, tmp_path):
    target = tmp_path / "out.bin"
    earlier = bytes(range(256)) * 7
    target.write_bytes(earlier)
    failing = [
        inputs.args(output=target, seed_x="nan"),
        inputs.args(output=target, subset_radius="2147483647"),
        inputs.args(output=target, mask=tmp_path / "missing"),
        inputs.args(output=target, roi_min_region_area="2147483647"),
    ]
    for args in failing:
        assert run_cli(dic2d_cli, args).status == 1
        assert target.read_bytes() == earlier
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.bin"]


def test_output_to_a_fifo_is_written_in_place(dic2d_cli, inputs, tmp_path):
    """A FIFO cannot be replaced by a rename: it is written directly and
    stays a FIFO."""
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    received = bytearray()
    done = threading.Event()

    def drain() -> None:
        while True:
            try:
                chunk = os.read(fd, 65536)
            except BlockingIOError:
                chunk = None
            if chunk:
                received.extend(chunk)
            elif done.is_set():
                return
            else:
                time.sleep(0.001)

    reader = threading.Thread(target=drain, daemon=True)
    reader.start()
    try:
        run = run_cli(dic2d_cli, inputs.args(output=fifo))
    finally:
        done.set()
        reader.join(timeout=30)
        os.close(fd)
    success_report(run)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert len(received) == output_size(13, 13)
    assert struct.unpack("<ii", received[:8]) == (13, 13)


def test_output_through_a_symlink_replaces_the_linked_file(dic2d_cli, inputs, tmp_path):
    real = tmp_path / "real.bin"
    real.write_bytes(b"old")
    link = tmp_path / "link.bin"
    link.symlink_to(real)
    success_report(run_cli(dic2d_cli, inputs.args(output=link)))
    assert link.is_symlink()
    assert real.stat().st_size == output_size(13, 13)


@pytest.fixture(scope="module")
def large_output_inputs(tmp_path_factory) -> Inputs:
    """1000 x 1000 pixels at pitch 1 make an 89 MB output from a small ROI,
    so that writing the output takes long enough to be interrupted."""
    root = tmp_path_factory.mktemp("kill")
    w = h = 1000
    texture = speckle(w, h, seed=11)
    mask = np.zeros((w, h), dtype=np.uint8)
    mask[100:130, 100:130] = 1
    (root / "ref.bin").write_bytes(image_bytes(texture))
    (root / "def.bin").write_bytes(image_bytes(texture))
    (root / "mask.bin").write_bytes(mask_bytes(mask))
    return Inputs(root, root / "ref.bin", root / "def.bin", root / "mask.bin")


def _files_open_in(pid: int, directory: Path) -> list[str]:
    """The /proc entries of the descriptors that `pid` holds on files inside
    `directory` (stat() on such an entry reaches the open file itself, even
    after a rename)."""
    fd_dir = f"/proc/{pid}/fd"
    found = []
    try:
        names = os.listdir(fd_dir)
    except (FileNotFoundError, ProcessLookupError):
        return found
    for name in names:
        entry = f"{fd_dir}/{name}"
        try:
            link = os.readlink(entry)
        except OSError:  # closed since the listing
            continue
        if os.path.dirname(link.removesuffix(" (deleted)")) == str(directory):
            found.append(entry)
    return found


def _open_size(entries: list[str]) -> int:
    size = 0
    for entry in entries:
        try:
            size = max(size, os.stat(entry).st_size)
        except OSError:
            pass
    return size


@dataclass
class Interrupted:
    landed: bool  # the output was open for writing when SIGKILL arrived
    status: int  # wait status of the run


def _kill_while_writing(cli: str, args: list[str], outdir: Path, written_at_least: int) -> Interrupted:
    """Runs the program, stops it with SIGSTOP once a file it holds open in
    `outdir` has reached `written_at_least` bytes, confirms while it stands
    still that the file is still open, and only then sends SIGKILL.

    Stopping first makes the outcome a fact rather than a guess about
    timing: if the run had already closed its output when the stop took
    effect, the attempt reports landed=False instead of racing the rename.
    The run gets the lowest CPU priority so that, on a busy machine, this
    poller keeps up with it."""
    proc = subprocess.Popen([cli, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid = proc.pid
    ended = None  # wait status once the run is reaped
    try:
        os.setpriority(os.PRIO_PROCESS, pid, 19)
        deadline = time.monotonic() + RUN_TIMEOUT_S
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                ended = status
                return Interrupted(False, ended)
            open_files = _files_open_in(pid, outdir)
            if open_files and _open_size(open_files) >= written_at_least:
                break
            time.sleep(0.0002)
        os.kill(pid, signal.SIGSTOP)
        _, status = os.waitpid(pid, os.WUNTRACED)
        if not os.WIFSTOPPED(status):
            ended = status  # finished before the stop took effect
            return Interrupted(False, ended)
        landed = bool(_files_open_in(pid, outdir))
        os.kill(pid, signal.SIGKILL)
        _, ended = os.waitpid(pid, 0)
        return Interrupted(landed, ended)
    finally:
        if ended is None:
            os.kill(pid, signal.SIGKILL)
            _, ended = os.waitpid(pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(ended)


@pytest.mark.slow
def test_sigkill_while_writing_never_leaves_a_partial_output(dic2d_cli, large_output_inputs, tmp_path):
    """SIGKILL at several points of writing an 89 MB output: the target holds
    either the earlier file or the complete new one, never a part."""
    inputs = large_output_inputs
    outdir = (tmp_path / "out").resolve()
    outdir.mkdir()
    target = outdir / "field.bin"
    args = inputs.args(
        output=target, subset_spacing="0", subset_radius="10", roi_min_region_area="0", seed_x="110", seed_y="110"
    )
    full_size = output_size(1000, 1000)
    success_report(run_cli(dic2d_cli, args))
    complete = target.read_bytes()
    assert len(complete) == full_size
    assert struct.unpack("<ii", complete[:8]) == (1000, 1000)

    earlier = b"earlier result\n" * 100
    landed = []
    # From an empty output file to nine of its eleven fields.
    for fraction in (0.0, 0.2, 0.4, 0.6, 0.8):
        for stray in outdir.iterdir():
            stray.unlink()
        target.write_bytes(earlier)
        attempt = _kill_while_writing(dic2d_cli, args, outdir, int(fraction * full_size))
        content = target.read_bytes()
        assert content in (earlier, complete), f"partial output of {len(content)} bytes"
        if attempt.landed:
            assert os.WIFSIGNALED(attempt.status) and os.WTERMSIG(attempt.status) == signal.SIGKILL
            landed.append(fraction)
    if not landed:
        pytest.skip("no run still had its output open when it was stopped: nothing was interrupted mid-write")
