"""Running dic2d_cli for one camera from Python.

`run_dic2d` writes the inputs (NumPy arrays or existing files), starts the
program once, parses its one-line JSON report and reads the output file. The
program exits with 0 on success, 1 on failure (the report then carries
"error") and 10 for a completed run whose "ok" is false; both failures raise
`Dic2dError`.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sysconfig
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .files import DicField, PathLike, read_output, write_image, write_mask

#: Options of dic2d_cli that `run_dic2d` accepts as keyword arguments, with
#: the conversion of each value to its command-line text.
INT_OPTIONS = (
    "subset_radius",
    "subset_spacing",
    "seed_search_radius",
    "rg_search_radius",
    "roi_min_region_area",
    "cutoff_iteration",
    "num_threads",
)
REAL_OPTIONS = (
    "cutoff_diffnorm",
    "units_per_pixel",
    "cutoff_corrcoef",
    "lenscoef",
    "obs_x",
    "obs_y",
    "smoothing_sigma",
    "seed_guess_u",
    "seed_guess_v",
)
FLAG_OPTIONS = ("subset_truncation",)
#: Options that take one word of a fixed set (the precision mode of the sub-pixel refinement).
CHOICE_OPTIONS = {"criterion": ("ssd", "znssd"), "interpolation": ("bilinear", "bspline3")}

#: The program's defaults, for callers that need the grid step before a run.
DEFAULTS = {"subset_radius": 20, "subset_spacing": 5, "seed_search_radius": 50}


class Dic2dError(RuntimeError):
    """dic2d_cli failed; `error` is the report's error text (or a description of what went wrong)."""

    def __init__(
        self,
        error: str,
        *,
        returncode: int | None = None,
        report: dict | None = None,
        command: Sequence[str] | None = None,
    ):
        super().__init__(error)
        self.error = error
        self.returncode = returncode
        self.report = report
        self.command = list(command) if command is not None else None


@dataclass
class Dic2dRun:
    """Result of one dic2d_cli run: the parsed JSON report and the reduced-grid field."""

    report: dict
    field: DicField
    output: Path | None

    @property
    def valid_points(self) -> int:
        return int(self.report["valid_points"])

    @property
    def reference_grid_points(self) -> int:
        return int(self.report["reference_grid_points"])


def find_cli(path: PathLike | None = None) -> str:
    """The dic2d_cli to run: the given path, else $DIC2D_CLI, else the one on PATH, else the one
    installed beside this interpreter (``pip install .`` puts it in the environment's scripts
    directory, which is not on PATH when the environment's python is run without activating it)."""
    if path is not None:
        return os.fspath(path)
    explicit = os.environ.get("DIC2D_CLI")
    if explicit:
        return explicit
    found = shutil.which("dic2d_cli") or shutil.which("dic2d_cli", path=sysconfig.get_path("scripts"))
    if found is None:
        raise Dic2dError(
            "dic2d_cli not found: pass its path, set DIC2D_CLI, or put it on PATH "
            "(scripts/build.sh installs it into .venv/bin)"
        )
    return found


def _option_text(key: str, value: Any) -> str:
    if key in CHOICE_OPTIONS:
        if value not in CHOICE_OPTIONS[key]:
            raise ValueError(f"{key} must be one of {', '.join(CHOICE_OPTIONS[key])}, got {value!r}")
        return str(value)
    if key in FLAG_OPTIONS:
        if not isinstance(value, (bool, np.bool_)):
            raise TypeError(f"{key} must be a bool, got {value!r}")
        return "true" if value else "false"
    if key in INT_OPTIONS:
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{key} must be an int, got {value!r}")
        return str(int(value))
    # repr is the shortest text that strtod reads back to the same double
    # (and "nan", "inf", "-inf" are forms it accepts).
    return repr(float(value))


def build_command(
    cli: str,
    reference: PathLike,
    deformed: PathLike,
    mask: PathLike,
    seed: Sequence[float],
    output: PathLike | None,
    params: dict,
) -> list[str]:
    """The argument vector of one run; unknown keywords raise (the program would ignore them)."""
    known = set(INT_OPTIONS) | set(REAL_OPTIONS) | set(FLAG_OPTIONS) | set(CHOICE_OPTIONS)
    unknown = sorted(set(params) - known)
    if unknown:
        raise TypeError(f"unknown dic2d_cli option(s): {', '.join(unknown)}")
    if len(seed) != 2:
        raise ValueError(f"seed must be (x, y), got {seed!r}")
    cmd = [cli, "--reference", os.fspath(reference), "--deformed", os.fspath(deformed), "--mask", os.fspath(mask)]
    for key, value in params.items():
        cmd += ["--" + key.replace("_", "-"), _option_text(key, value)]
    cmd += ["--seed-x", _option_text("seed_x", seed[0]), "--seed-y", _option_text("seed_y", seed[1])]
    if output is not None:
        cmd += ["--output", os.fspath(output)]
    return cmd


def parse_report(stdout: str, returncode: int, command: Sequence[str]) -> dict:
    """Parse the JSON line; raise `Dic2dError` for a failed run or anything unexpected."""
    lines = stdout.splitlines()
    if returncode not in (0, 1, 10) or len(lines) != 1:
        raise Dic2dError(
            f"dic2d_cli ended with status {returncode} and printed {len(lines)} line(s) "
            f"instead of one JSON report: {stdout[:500]!r}",
            returncode=returncode,
            command=command,
        )
    try:
        report = json.loads(lines[0])
    except json.JSONDecodeError as exc:
        raise Dic2dError(
            f"dic2d_cli printed a report that is not JSON ({exc}): {lines[0][:500]!r}",
            returncode=returncode,
            command=command,
        ) from None
    if not isinstance(report, dict) or "ok" not in report:
        raise Dic2dError(
            f"dic2d_cli printed an unexpected report: {lines[0][:500]!r}", returncode=returncode, command=command
        )
    if returncode == 1 or "error" in report:
        raise Dic2dError(
            str(report.get("error", "dic2d_cli failed without an error text")),
            returncode=returncode,
            report=report,
            command=command,
        )
    if returncode == 10 or report["ok"] is not True:
        raise Dic2dError(
            "dic2d_cli finished with ok false: " + str(report.get("message", "")),
            returncode=returncode,
            report=report,
            command=command,
        )
    return report


def _as_input(value: PathLike | np.ndarray, path: Path, writer) -> Path:
    if isinstance(value, (str, os.PathLike)):
        return Path(value)
    writer(path, value)
    return path


def run_dic2d(
    reference: PathLike | np.ndarray,
    deformed: PathLike | np.ndarray,
    mask: PathLike | np.ndarray,
    seed: Sequence[float],
    output: PathLike | None = None,
    *,
    cli: PathLike | None = None,
    workdir: PathLike | None = None,
    timeout: float | None = None,
    **params: Any,
) -> Dic2dRun:
    """Run dic2d_cli once for one camera and return its report and field.

    reference, deformed: gray images as arrays [y, x] or paths of image files.
    mask: ROI as an array [y, x] (non-zero is inside) or the path of a mask file.
    seed: (x, y) of a reduced-grid point inside the ROI; both must be multiples
    of subset_spacing + 1.
    output: where the output file goes; without it a temporary file is used and
    removed after reading.
    params: dic2d_cli options by their parameter names (subset_radius=20,
    subset_spacing=5, subset_truncation=False, cutoff_corrcoef=0.6, ...).
    """
    exe = find_cli(cli)
    with tempfile.TemporaryDirectory(prefix="dic2d_", dir=workdir) as tmp:
        tmpdir = Path(tmp)
        ref_path = _as_input(reference, tmpdir / "reference.bin", write_image)
        def_path = _as_input(deformed, tmpdir / "deformed.bin", write_image)
        mask_path = _as_input(mask, tmpdir / "mask.bin", write_mask)
        out_path = Path(output) if output is not None else tmpdir / "output.bin"
        if output is not None:
            out_path.parent.mkdir(parents=True, exist_ok=True)
        cmd = build_command(exe, ref_path, def_path, mask_path, seed, out_path, params)
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, check=False)
        except FileNotFoundError:
            raise Dic2dError(f"could not start dic2d_cli at {exe!r}", command=cmd) from None
        except subprocess.TimeoutExpired:
            raise Dic2dError(f"dic2d_cli did not finish within {timeout} s", command=cmd) from None
        report = parse_report(proc.stdout, proc.returncode, cmd)
        field = read_output(out_path)
        if (field.reduced_width, field.reduced_height) != (report["reduced_width"], report["reduced_height"]):
            raise Dic2dError(
                f"output file grid {field.reduced_width} x {field.reduced_height} differs from the "
                f"report's {report['reduced_width']} x {report['reduced_height']}",
                report=report,
                command=cmd,
            )
        if field.valid_count != report["valid_points"]:
            raise Dic2dError(
                f"output file has {field.valid_count} solved cells but the report says {report['valid_points']}",
                report=report,
                command=cmd,
            )
    return Dic2dRun(report=report, field=field, output=Path(output) if output is not None else None)
