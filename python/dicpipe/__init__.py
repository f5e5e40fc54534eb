"""dicpipe: surface displacement and strain from camera images, over a load series.

The library behind the ``dicpipe`` command. Importing it is cheap and has no
side effects: the submodules (and NumPy, SciPy, matplotlib, Dask) load when a
name below is first used.

Main entry points::

    from dicpipe import load_experiment, prepare_series, run_series
    result = run_series(prepare_series(load_experiment("experiment.toml")), jobs=2)

Modules: `experiment` (the experiment file), `images` (camera images and
masks), `measure` (tasks, frames, the series), `tracking` (one camera's
flagged field, regions, seeds, tracks through a series), `quality` (point
flags, image noise, subset texture, median test), `strain` (strain tensors and
windows), `export` (result files), `figures`, `mesh`, `grid` (reduced grid and
seeds), `dic2d` (running dic2d_cli), `files` (dic2d_cli's binary files).
"""

from __future__ import annotations

import importlib

__version__ = "0.2.0"

#: Public name -> the submodule that defines it.
_EXPORTS = {
    "Dic2dError": "dic2d",
    "Dic2dRun": "dic2d",
    "find_cli": "dic2d",
    "run_dic2d": "dic2d",
    "DicField": "files",
    "FileFormatError": "files",
    "convert_picture": "files",
    "load_mask_picture": "files",
    "load_picture": "files",
    "read_image": "files",
    "read_mask": "files",
    "read_output": "files",
    "stack_cameras": "files",
    "write_image": "files",
    "write_mask": "files",
    "write_output": "files",
    "choose_seed": "grid",
    "grid_step": "grid",
    "Experiment": "experiment",
    "ExperimentError": "experiment",
    "load_experiment": "experiment",
    "ImageError": "images",
    "ImageInfo": "images",
    "load_image": "images",
    "load_mask": "images",
    "probe_image": "images",
    "FrameRecord": "measure",
    "MeanStrain": "measure",
    "SchedulerError": "measure",
    "Series": "measure",
    "SeriesResult": "measure",
    "mean_strain": "measure",
    "prepare_series": "measure",
    "run_series": "measure",
    "PointFlag": "quality",
    "estimate_noise": "quality",
    "median_test": "quality",
    "subset_precision": "quality",
    "subset_texture": "quality",
    "TENSORS": "strain",
    "grid_window_gradient": "strain",
    "strain_components": "strain",
    "strain_tensor": "strain",
    "surface_window_gradient": "strain",
}

__all__ = sorted(_EXPORTS) + ["__version__"]


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'dicpipe' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_EXPORTS))
