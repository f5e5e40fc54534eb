"""Digests of every native_vostrel result on fixed, seeded inputs.

Run by hand before and after a change that must not move a bit:

    .venv/bin/python bench/module_digests.py > before.txt
    ... change, rebuild ...
    .venv/bin/python bench/module_digests.py | diff before.txt -

Each line is `scene key sha256-prefix` over the result array's dtype, shape
and bytes, and a last line digests all of them together. The scenes cover the
pair and track reconstructions (distorted cameras, noisy and unsolved
observations, duplicated identifiers, several scales) and the surface
deformation (curved jittered mesh, invalid and degenerate faces), all with
the default lens model. `--opencv` adds the same reconstruction scenes with
distortion_model="opencv" (five coefficients and a skew) after them, with a
total of their own.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
from pathlib import Path

import numpy as np

import native_vostrel as nv

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_deformation as bd  # noqa: E402
import bench_reconstruction as br  # noqa: E402


def digest(array: np.ndarray) -> str:
    a = np.ascontiguousarray(array)
    h = hashlib.sha256()
    h.update(f"{a.dtype.str}{a.shape}".encode())
    h.update(a.tobytes())
    return h.hexdigest()[:16]


def pair_scenes(opencv=False):
    rig = br.make_rig(2)
    extra = {"distortion_model": "opencv"} if opencv else {}
    if opencv:
        rig = br.opencv_lens(rig)
    fields = br.make_fields(rig)
    for n, seed, scale, (min_corr, max_err) in [
        (2000, 11, 1.0, (0.5, 1.0)),
        (3000, 12, 1.5, (0.93, 0.3)),
        (500, 13, -2.0, (0.0, 1e9)),
    ]:
        pid, cid, uv = br.observations(rig, n, [0, 1], seed=seed)
        # Duplicated identifiers (the last observation of a camera wins), a
        # non-finite pixel and one far outside the grid.
        pid = np.concatenate([pid, pid[:7]])
        cid = np.concatenate([cid, cid[:7]])
        uv = np.concatenate([uv, uv[:7] + 0.25])
        uv[3] = [np.nan, 1.0]
        uv[5] = [1e7, -1e7]
        for cams in [(0, 1), (1, 0)]:
            yield (
                f"pair_n{n}_s{seed}_cams{cams[0]}{cams[1]}",
                nv.reconstruct_pair_surface_points(
                    *rig,
                    pid,
                    cid,
                    uv,
                    *fields,
                    br.H,
                    br.W,
                    br.SPACING,
                    cams[0],
                    cams[1],
                    min_corr,
                    max_err,
                    scale,
                    **extra,
                ),
            )


def track_scenes(opencv=False):
    extra = {"distortion_model": "opencv"} if opencv else {}
    for n_cam, min_views in [(3, 2), (4, 3), (4, 4)]:
        rig = br.make_rig(n_cam)
        fields = br.make_fields(rig)
        if opencv:
            rig = br.opencv_lens(rig)
        pid, cid, uv = br.observations(rig, 1500, list(range(n_cam)), seed=20 + n_cam)
        keep = np.random.default_rng(n_cam).uniform(size=len(pid)) > 0.15  # some views missing
        pid, cid, uv = pid[keep], cid[keep], uv[keep]
        uv[::101] += 3.0  # some bad observations
        yield (
            f"tracks_c{n_cam}_min{min_views}",
            nv.reconstruct_tracks(
                *rig, pid, cid, uv, *fields, br.H, br.W, br.SPACING, min_views, 0.5, 1.0, 0.75, **extra
            ),
        )


def deformation_scenes():
    for faces_n, seed in [(2000, 2026), (5000, 7)]:
        faces, ref, dfm, valid = bd.make_mesh(faces_n, seed)
        faces = faces.copy()
        faces[5] = [faces[5][0], faces[5][0], faces[5][1]]  # degenerate
        dfm = dfm.copy()
        dfm[faces[9][0]] = dfm[faces[9][1]]  # collapsed in the deformed state
        yield f"deformation_f{faces_n}_s{seed}", nv.compute_surface_deformation(faces, ref, dfm, valid)


def print_digests(groups, prefix: str, total_name: str) -> None:
    total = hashlib.sha256()
    for scenes in groups:
        for name, result in scenes:
            for key in sorted(result):
                d = digest(result[key])
                total.update(f"{prefix}{name} {key} {d}\n".encode())
                print(f"{prefix}{name} {key} {d}")
    print(f"{total_name} {total.hexdigest()[:16]}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--opencv", action="store_true", help='also the scenes with distortion_model="opencv"')
    args = parser.parse_args()
    print_digests((pair_scenes(), track_scenes(), deformation_scenes()), "", "all")
    if args.opencv:
        print_digests((pair_scenes(opencv=True), track_scenes(opencv=True)), "opencv_", "all_opencv")


if __name__ == "__main__":
    main()
