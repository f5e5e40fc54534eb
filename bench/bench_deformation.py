"""Throughput and memory of compute_surface_deformation against a NumPy version.

The NumPy version evaluates the same per-face formulas on whole arrays, with
batched numpy.linalg.eigh for the three symmetric tensors. Run by hand:

    PYTHONPATH=build/<dir>/vostrel .venv/bin/python bench/bench_deformation.py [--faces N]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
import tracemalloc

import numpy as np

import native_vostrel

KEYS = [
    "Fmat",
    "Cmat",
    "J",
    "Emat",
    "emat",
    "Emgn",
    "emgn",
    "Epc1",
    "Epc2",
    "epc1",
    "epc2",
    "EShearMax",
    "eShearMax",
    "Eeq",
    "eeq",
    "Area",
    "d3",
    "Lambda1",
    "Lambda2",
    "valid_strain_faces",
]


def make_mesh(target_faces: int, seed: int = 2026):
    """A jittered curved grid with a smooth deformation plus noise."""
    rng = np.random.default_rng(seed)
    n = int(np.ceil(np.sqrt(target_faces / 2))) + 1
    x, y = np.meshgrid(np.linspace(-1, 1, n), np.linspace(-1, 1, n))
    h = 2.0 / (n - 1)
    x = x + rng.uniform(-0.2, 0.2, x.shape) * h
    y = y + rng.uniform(-0.2, 0.2, y.shape) * h
    z = 0.4 * x**2 - 0.3 * x * y + 0.2 * y**2
    ref = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    dfm = ref @ np.array([[1.05, 0.02, 0.0], [-0.01, 0.97, 0.03], [0.0, 0.02, 1.0]]).T
    dfm += 0.05 * np.sin(3 * ref[:, [1, 2, 0]]) + rng.normal(scale=0.02 * h, size=ref.shape)
    idx = np.arange(n * n).reshape(n, n)
    a, b, c, d = idx[:-1, :-1].ravel(), idx[:-1, 1:].ravel(), idx[1:, :-1].ravel(), idx[1:, 1:].ravel()
    faces = np.concatenate([np.column_stack([a, b, d]), np.column_stack([a, d, c])])
    faces = faces[:target_faces].astype(np.int32)
    valid = np.ones(len(faces), dtype=bool)
    valid[::97] = False
    return faces, ref, dfm, valid


def numpy_reference(faces, points_ref, points_def, valid_faces):
    m = len(faces)
    R = [points_ref[faces[:, k]] for k in range(3)]
    r = [points_def[faces[:, k]] for k in range(3)]
    dX1, dX2 = R[1] - R[0], R[2] - R[0]
    dx1, dx2 = r[1] - r[0], r[2] - r[0]
    N, n = np.cross(dX1, dX2), np.cross(dx1, dx2)
    N_len, n_len = np.linalg.norm(N, axis=1), np.linalg.norm(n, axis=1)
    finite = np.all(np.isfinite(np.concatenate(R + r, axis=1)), axis=1)
    ok = valid_faces[:m] & finite & (N_len > 1e-18) & (n_len > 1e-18)
    with np.errstate(divide="ignore", invalid="ignore"):
        Nh = N * (1.0 / N_len)[:, None]
        nh = n * (1.0 / n_len)[:, None]
        D = np.sum(N * Nh, axis=1)
        ok &= np.abs(D) > 1e-18
        G1 = np.cross(dX2, Nh) * (1.0 / D)[:, None]
        G2 = np.cross(Nh, dX1) * (1.0 / D)[:, None]
    F = (dx1[:, :, None] * G1[:, None, :] + dx2[:, :, None] * G2[:, None, :]) + nh[:, :, None] * Nh[:, None, :]
    F[~ok] = 0.0
    C = np.einsum("mki,mkj->mij", F, F)
    b = np.einsum("mik,mjk->mij", F, F)
    det_b = np.linalg.det(b)
    ok &= (np.abs(det_b) > 1e-18) & np.isfinite(det_b)
    b[~ok] = np.eye(3)
    eye = np.eye(3)
    E = (C - eye) * 0.5
    e = (eye - np.linalg.inv(b)) * 0.5

    mu = np.linalg.eigvalsh(C)
    s = np.sqrt(np.maximum(mu, 0.0))
    out_of_plane = np.argmin(np.abs(s - 1.0), axis=1)
    keep = np.ones((m, 3), bool)
    keep[np.arange(m), out_of_plane] = False
    lam = s[keep].reshape(m, 2)

    def in_plane(tensor, normal):
        w, v = np.linalg.eigh(tensor)
        align = np.abs(np.einsum("mrk,mr->mk", v, normal))
        keep = np.ones((m, 3), bool)
        keep[np.arange(m), np.argmax(align, axis=1)] = False
        return w[keep].reshape(m, 2)

    Epc, epc = in_plane(E, Nh), in_plane(e, nh)

    def equivalent(t):
        dev = t - (np.trace(t, axis1=1, axis2=2) / 3)[:, None, None] * eye
        q = np.sqrt(np.sum(dev * dev, axis=(1, 2)))
        return np.sqrt(q * (0.6666666666666666 * q))

    res = {
        "Fmat": F,
        "Cmat": C,
        "J": np.linalg.det(F),
        "Emat": E,
        "emat": e,
        "Emgn": np.sqrt(np.sum(E * E, axis=(1, 2))),
        "emgn": np.sqrt(np.sum(e * e, axis=(1, 2))),
        "Epc1": Epc[:, 0],
        "Epc2": Epc[:, 1],
        "epc1": epc[:, 0],
        "epc2": epc[:, 1],
        "EShearMax": (Epc[:, 1] - Epc[:, 0]) * 0.5,
        "eShearMax": (epc[:, 1] - epc[:, 0]) * 0.5,
        "Eeq": equivalent(E),
        "eeq": equivalent(e),
        "Area": 0.5 * D,
        "d3": nh,
        "Lambda1": lam[:, 0],
        "Lambda2": lam[:, 1],
    }
    for key in res:
        res[key] = np.array(res[key], dtype=float)
        res[key][~ok] = np.nan
    res["valid_strain_faces"] = ok
    return res


def best_time(fn, repeats):
    times = []
    result = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def max_difference(native, reference):
    worst = 0.0
    for key in KEYS[:-1]:
        a, b = native[key], reference[key]
        both_nan = np.isnan(a) & np.isnan(b)
        if not np.array_equal(np.isnan(a), np.isnan(b)):
            return float("inf")
        diff = np.abs(a - b)[~both_nan] / np.maximum(1.0, np.abs(b)[~both_nan])
        worst = max(worst, float(diff.max(initial=0.0)))
    return worst


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def child_peak_rss(faces: int) -> None:
    """Runs in a subprocess: resident memory before one native call and its peak during it."""
    args = make_mesh(faces)
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak (VmHWM) to the current resident size
    before = _status_kib("VmRSS")
    result = native_vostrel.compute_surface_deformation(*args)
    print(before, _status_kib("VmHWM"), sum(a.nbytes for a in result.values()) // 1024)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--faces", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child-rss", action="store_true", help=argparse.SUPPRESS)
    opts = parser.parse_args()
    if opts.child_rss:
        child_peak_rss(opts.faces)
        return

    args = make_mesh(opts.faces)
    m = len(args[0])
    input_bytes = sum(a.nbytes for a in args)

    t_native, native = best_time(lambda: native_vostrel.compute_surface_deformation(*args), opts.repeats)
    t_numpy, reference = best_time(lambda: numpy_reference(*args), 1)
    output_bytes = sum(a.nbytes for a in native.values())

    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    result = native_vostrel.compute_surface_deformation(*args)
    peak_native = tracemalloc.get_traced_memory()[1] - base
    del result
    tracemalloc.stop()

    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    result = numpy_reference(*args)
    peak_numpy = tracemalloc.get_traced_memory()[1] - base
    del result
    tracemalloc.stop()

    child = subprocess.run(
        [sys.executable, __file__, "--faces", str(opts.faces), "--child-rss"],
        capture_output=True,
        text=True,
        check=True,
    )
    rss_before, rss_peak, out_kib = (int(v) for v in child.stdout.split())
    mib = 1024.0 * 1024.0
    valid = int(native["valid_strain_faces"].sum())
    flags_equal = np.array_equal(native["valid_strain_faces"], reference["valid_strain_faces"])
    print(f"faces: {m} ({valid} computed), inputs {input_bytes / mib:.1f} MiB, outputs {output_bytes / mib:.1f} MiB")
    print(f"native: {t_native * 1e3:9.1f} ms  {m / t_native / 1e6:7.3f} Mfaces/s (best of {opts.repeats})")
    print(f"numpy : {t_numpy * 1e3:9.1f} ms  {m / t_numpy / 1e6:7.3f} Mfaces/s")
    print(f"speed-up: {t_numpy / t_native:.1f}x")
    print(
        f"max |native - numpy| / max(1, |numpy|): {max_difference(native, reference):.3e}; "
        f"validity flags equal: {flags_equal}"
    )
    print(
        f"traced peak during call: native {peak_native / mib:.1f} MiB "
        f"(outputs {output_bytes / mib:.1f} MiB, excess {(peak_native - output_bytes) / mib:.2f} MiB), "
        f"numpy {peak_numpy / mib:.1f} MiB"
    )
    print(
        f"resident memory (separate process): {rss_before / 1024:.1f} MiB before the call, "
        f"peak {rss_peak / 1024:.1f} MiB during it: +{(rss_peak - rss_before) / 1024:.1f} MiB "
        f"for {out_kib / 1024:.1f} MiB of outputs"
    )


if __name__ == "__main__":
    main()
