"""Pipeline helpers around dic2d_cli and native_vostrel: files, runs, synthetic data, meshes, figures."""

from .dic2d import Dic2dError, Dic2dRun, find_cli, run_dic2d
from .files import (
    DicField,
    FileFormatError,
    convert_picture,
    load_mask_picture,
    load_picture,
    read_image,
    read_mask,
    read_output,
    stack_cameras,
    write_image,
    write_mask,
    write_output,
)
from .grid import choose_seed, grid_step

__all__ = [
    "Dic2dError",
    "Dic2dRun",
    "DicField",
    "FileFormatError",
    "convert_picture",
    "find_cli",
    "choose_seed",
    "grid_step",
    "load_mask_picture",
    "load_picture",
    "read_image",
    "read_mask",
    "read_output",
    "run_dic2d",
    "stack_cameras",
    "write_image",
    "write_mask",
    "write_output",
]
