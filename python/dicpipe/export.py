"""Result files: atomic writes and the byte content of every file dicpipe writes.

Every file is first written to a temporary file beside its target and then
renamed over it (`write_atomic`), so that a failure or a kill never leaves a
partial file and never destroys an earlier complete one. The content builders
are deterministic: the same arrays always give the same bytes (the archive
members of an ``.npz`` carry a fixed date), which lets two runs of one
experiment be compared file by file.
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
import tempfile
import uuid
import zipfile
from collections.abc import Iterable, Mapping, Sequence
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np

__all__ = ["csv_bytes", "json_bytes", "npz_bytes", "pvd_bytes", "remove_quietly", "vtu_bytes", "write_atomic"]

#: The date stamped on every member of an .npz archive (the earliest a zip file can hold).
_ZIP_DATE = (1980, 1, 1, 0, 0, 0)


def write_atomic(path: str | os.PathLike, data: bytes) -> None:
    """Write `data` to `path` through a temporary file in the same folder and a rename.

    The data are flushed to the disk before the rename, so the target holds
    either its old content or the complete new one, whatever happens.
    """
    target = Path(path)
    tmp = target.with_name(f".{target.name}.{uuid.uuid4().hex}.part")
    try:  # the temporary file is made inside: an interruption at any point leaves nothing behind
        with open(tmp, "xb") as fh:
            fh.write(data)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, target)
    except BaseException:
        remove_quietly(tmp)
        raise


def remove_quietly(path: str | os.PathLike) -> None:
    """Remove a file if it exists."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def npz_bytes(arrays: Mapping[str, np.ndarray]) -> bytes:
    """A compressed ``.npz`` archive of `arrays` (read back by ``numpy.load``), identical for identical arrays."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=zipfile.ZIP_DEFLATED) as zf:
        for key, value in arrays.items():
            info = zipfile.ZipInfo(f"{key}.npy", date_time=_ZIP_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with zf.open(info, "w", force_zip64=True) as fh:
                np.lib.format.write_array(fh, np.asanyarray(value), allow_pickle=False)
    return buf.getvalue()


def vtu_bytes(
    points: np.ndarray,
    faces: np.ndarray,
    point_data: Mapping[str, np.ndarray] | None = None,
    cell_data: Mapping[str, np.ndarray] | None = None,
) -> bytes:
    """A VTK unstructured grid of triangles (``.vtu``, binary, zlib) with point and cell data.

    Boolean arrays are stored as uint8; (M, 3, 3) tensors as nine components
    in row-major order, which ParaView shows as a tensor.
    """
    import meshio
    from meshio.vtu import _vtu

    def prepared(values):
        a = np.asarray(values)
        if a.dtype == np.bool_:
            a = a.astype(np.uint8)
        if a.ndim == 3:
            a = a.reshape(len(a), -1)
        return np.ascontiguousarray(a)

    mesh = meshio.Mesh(
        points=np.ascontiguousarray(points, dtype=np.float64),
        cells=[("triangle", np.ascontiguousarray(faces, dtype=np.int64))],
        point_data={k: prepared(v) for k, v in (point_data or {}).items()},
        cell_data={k: [prepared(v)] for k, v in (cell_data or {}).items()},
    )
    with tempfile.TemporaryDirectory(prefix="dicpipe_vtu_") as tmp:
        path = os.path.join(tmp, "mesh.vtu")
        _vtu.write(path, mesh)
        return Path(path).read_bytes()


def pvd_bytes(entries: Iterable[tuple[float, str]]) -> bytes:
    """A ParaView collection (``.pvd``): one data set per (time step, file relative to the .pvd)."""
    lines = [
        '<?xml version="1.0"?>',
        '<VTKFile type="Collection" version="0.1" byte_order="LittleEndian">',
        "  <Collection>",
    ]
    for step, file in entries:
        lines.append(f'    <DataSet timestep="{step:g}" group="" part="0" file={quoteattr(file)}/>')
    lines += ["  </Collection>", "</VTKFile>", ""]
    return "\n".join(lines).encode()


def _cell(value) -> str:
    if isinstance(value, float):
        return "" if math.isnan(value) else repr(value)
    return str(value)


def csv_bytes(header: Sequence[str], rows: Iterable[Sequence]) -> bytes:
    """CSV text (comma separated, header row first); floats in their shortest exact form, NaN empty."""
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(header)
    for row in rows:
        w.writerow([_cell(v) for v in row])
    return buf.getvalue().encode()


def _plain(value):
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, np.ndarray):
        return _plain(value.tolist())
    if isinstance(value, np.generic):
        return _plain(value.item())
    if isinstance(value, Path):
        return str(value)
    return value


def json_bytes(obj) -> bytes:
    """Indented JSON; NaN and infinities become null, NumPy values plain numbers, paths strings."""
    return (json.dumps(_plain(obj), indent=2, ensure_ascii=False, allow_nan=False) + "\n").encode()
