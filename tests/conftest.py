"""Shared fixtures: where the programs under test are, and one tolerance helper."""

from __future__ import annotations

import importlib
import math
import os
import shutil
import sys
from pathlib import Path

import numpy as np
import pytest

REPO_ROOT = Path(__file__).resolve().parents[1]


def bench_script(name: str):
    """The benchmark script bench/<name>.py, imported as the module `name`."""
    folder = str(REPO_ROOT / "bench")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module(name)


def _find_cli() -> str | None:
    explicit = os.environ.get("DIC2D_CLI")
    if explicit:
        return explicit
    return shutil.which("dic2d_cli")


@pytest.fixture(scope="session")
def dic2d_cli() -> str:
    """Path of the dic2d_cli executable (DIC2D_CLI overrides PATH)."""
    path = _find_cli()
    if path is None:
        pytest.fail("dic2d_cli not found: run scripts/build.sh or set DIC2D_CLI")
    return path


def assert_close(actual, expected, rel: float = 1e-12, abs_: float = 1e-12) -> None:
    """Element-wise closeness: relative, absolute near zero, NaN equal to NaN."""
    a = np.asarray(actual, dtype=float)
    e = np.asarray(expected, dtype=float)
    assert a.shape == e.shape, f"shape {a.shape} != {e.shape}"
    both_nan = np.isnan(a) & np.isnan(e)
    same_inf = np.isinf(a) & np.isinf(e) & (np.sign(a) == np.sign(e))
    tol = np.maximum(abs_, rel * np.abs(e))
    ok = both_nan | same_inf | (np.abs(a - e) <= tol)
    if not np.all(ok):
        idx = np.argwhere(~ok)[:5]
        detail = ", ".join(f"{tuple(i)}: {a[tuple(i)]!r} vs {e[tuple(i)]!r}" for i in idx)
        raise AssertionError(f"{int((~ok).sum())} elements differ (rel={rel}, abs={abs_}): {detail}")


def isclose(a: float, b: float, rel: float = 1e-12, abs_: float = 1e-12) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return abs(a - b) <= max(abs_, rel * abs(b))
