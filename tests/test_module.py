"""The native_vostrel module: definition, argument lists, conversions,
dimension errors and its refusal to load in a sub-interpreter."""

from __future__ import annotations

import ast
import ctypes
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import native_vostrel as nv

COMMON = [
    "K",
    "dist",
    "R",
    "t",
    "point_indices",
    "cam_indices",
    "uv",
    "dic_u",
    "dic_v",
    "dic_corrcoef",
    "dic_valid",
    "reduced_height",
    "reduced_width",
    "subset_spacing",
]
ARGUMENTS = {
    "reconstruct_tracks": COMMON + ["min_views", "min_corrcoef", "max_reprojection_error_px", "scale"],
    "reconstruct_pair_surface_points": COMMON
    + ["cam_a", "cam_b", "min_corrcoef", "max_reprojection_error_px", "scale"],
    "compute_surface_deformation": ["faces", "points_ref", "points_def", "valid_faces"],
}
# Keyword-only arguments and their defaults.
KEYWORD_ONLY = {
    "reconstruct_tracks": {"distortion_model": "radial2"},
    "reconstruct_pair_surface_points": {"distortion_model": "radial2"},
    "compute_surface_deformation": {},
}


def small_call(name: str) -> dict:
    """A well-formed call: two cameras 1 apart on x, one point seen by both."""
    if name == "compute_surface_deformation":
        return dict(
            faces=np.array([[0, 1, 2]], np.int32),
            points_ref=np.eye(3),
            points_def=2 * np.eye(3),
            valid_faces=np.array([True]),
        )
    K = np.tile(np.array([[100.0, 0, 50], [0, 100.0, 50], [0, 0, 1]]), (2, 1, 1))
    args = dict(
        K=K,
        dist=np.zeros((2, 2)),
        R=np.tile(np.eye(3), (2, 1, 1)),
        t=np.array([[0.5, 0.0, 5.0], [-0.5, 0.0, 5.0]]),
        point_indices=np.array([4, 4], np.int64),
        cam_indices=np.array([0, 1], np.int32),
        uv=np.array([[60.0, 50.0], [40.0, 50.0]]),
        dic_u=np.ones((2, 11, 11)),
        dic_v=np.zeros((2, 11, 11)),
        dic_corrcoef=np.ones((2, 11, 11)),
        dic_valid=np.ones((2, 11, 11), bool),
        reduced_height=11,
        reduced_width=11,
        subset_spacing=9,
    )
    if name == "reconstruct_tracks":
        args.update(min_views=2)
    else:
        args.update(cam_a=0, cam_b=1)
    args.update(min_corrcoef=0.5, max_reprojection_error_px=1.0, scale=1.0)
    return args


def test_module_docstring_and_functions_in_order():
    assert nv.__doc__ == "Native acceleration kernels for Orvalle vostrel."
    public = [k for k in vars(nv) if not k.startswith("__")]
    assert public == list(ARGUMENTS)


def signature(name: str) -> tuple[dict[str, str], dict[str, str]]:
    """Annotations of the positional-or-keyword and of the keyword-only
    arguments (with " = default") on the signature line pybind11 writes first
    into __doc__, in order."""
    line = getattr(nv, name).__doc__.split("\n", 1)[0]
    assert line.startswith(f"{name}(") and line.endswith(") -> dict"), line
    inner = line[len(name) + 1 : line.rindex(")")]
    positional, keyword_only = {}, {}
    arguments, depth, start = positional, 0, 0
    for i, ch in enumerate(inner + ","):
        depth += ch == "["
        depth -= ch == "]"
        if ch == "," and depth == 0:
            part = inner[start:i].strip()
            start = i + 1
            if part == "*":
                arguments = keyword_only
                continue
            argument, annotation = part.split(":", 1)
            arguments[argument.strip()] = annotation.strip()
    return positional, keyword_only


def signature_names(name: str) -> list[str]:
    return list(signature(name)[0])


def documented_entries(doc: str, section: str) -> list[str]:
    """Names of a numpydoc section's entries ("a, b : type" lines) in order."""
    lines = doc.split("\n")
    start = lines.index(section) + 2
    assert set(lines[start - 1]) == {"-"}
    names = []
    for line, underline in zip(lines[start:], lines[start + 1 :] + [""]):
        if underline and set(underline) == {"-"}:
            break  # the next section's title
        entry = re.match(r"^ {0,4}([A-Za-z_][A-Za-z0-9_]*(?:, [A-Za-z_][A-Za-z0-9_]*)*) : ", line)
        if entry:
            names.extend(entry.group(1).split(", "))
    return names


@pytest.mark.parametrize("name", list(ARGUMENTS))
def test_signature_lists_the_arguments_in_order(name):
    assert signature_names(name) == ARGUMENTS[name]
    keyword_only = signature(name)[1]
    assert {k: v.split(" = ")[1].strip("'") for k, v in keyword_only.items()} == KEYWORD_ONLY[name]


@pytest.mark.parametrize("name", list(ARGUMENTS))
def test_docstring_documents_every_argument_and_result_key(name):
    doc = getattr(nv, name).__doc__
    assert documented_entries(doc, "Parameters") == ARGUMENTS[name] + list(KEYWORD_ONLY[name])
    keys = list(getattr(nv, name)(**small_call(name)))
    assert documented_entries(doc, "Returns") == keys
    assert "\nRaises\n------\nValueError\n" in doc


def stub_functions() -> dict[str, ast.FunctionDef]:
    stub = Path(nv.__file__).with_name("native_vostrel.pyi")
    assert stub.is_file(), f"no type stub beside {nv.__file__}"
    tree = ast.parse(stub.read_text())
    assert ast.get_docstring(tree) == nv.__doc__
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_beside_the_module_declares_the_three_functions_in_order():
    functions = stub_functions()
    assert list(functions) == list(ARGUMENTS)
    for name, node in functions.items():
        assert [a.arg for a in node.args.args] == signature_names(name)
        assert not node.args.posonlyargs and not node.args.defaults and node.args.vararg is None
        defaults = [ast.literal_eval(d) for d in node.args.kw_defaults]
        assert dict(zip([a.arg for a in node.args.kwonlyargs], defaults)) == KEYWORD_ONLY[name]
        assert ast.unparse(node.returns) == "dict[str, npt.NDArray[np.generic]]"


def test_stub_types_each_argument_by_its_conversion():
    # Arrays take anything NumPy converts; ints refuse floats (SupportsIndex);
    # floats take any real number.
    for name, node in stub_functions().items():
        runtime_annotations = signature(name)[0]
        for arg in node.args.args:
            annotation = ast.unparse(arg.annotation)
            runtime = runtime_annotations[arg.arg]
            expected = {
                "typing.SupportsInt | typing.SupportsIndex": "SupportsIndex",
                "typing.SupportsFloat | typing.SupportsIndex": "SupportsFloat",
            }.get(runtime, "npt.ArrayLike")
            assert annotation == expected, (name, arg.arg, runtime)
        for arg in node.args.kwonlyargs:
            assert arg.arg == "distortion_model"
            assert ast.unparse(arg.annotation) == "Literal['radial2', 'opencv']"


@pytest.mark.parametrize("name", list(ARGUMENTS))
def test_keywords_positions_and_missing_arguments(name):
    fn = getattr(nv, name)
    args = small_call(name)
    by_keyword = fn(**args)
    by_position = fn(*args.values())
    assert isinstance(by_keyword, dict) and list(by_keyword) == list(by_position)
    for key in by_keyword:
        np.testing.assert_array_equal(by_keyword[key], by_position[key])
    for missing in args:
        with pytest.raises(TypeError):
            fn(**{k: v for k, v in args.items() if k != missing})


def test_pair_of_the_small_call_triangulates():
    res = nv.reconstruct_pair_surface_points(**small_call("reconstruct_pair_surface_points"))
    np.testing.assert_array_equal(res["point_indices"], [4])
    np.testing.assert_allclose(res["points_ref_sfm"][0], [0.0, 0.0, 0.0], atol=1e-12)
    assert res["valid_points"][0]


@pytest.mark.parametrize(
    ("argument", "value"),
    [
        ("subset_spacing", 9.0),
        ("reduced_height", 2**31),
        ("cam_a", "0"),
        ("scale", "1.0"),
        ("K", object()),
        ("uv", [[1.0, 2.0], [3.0]]),
        ("dic_u", "not a number"),
    ],
)
def test_unconvertible_arguments_raise_type_error(argument, value):
    args = small_call("reconstruct_pair_surface_points")
    args[argument] = value
    with pytest.raises(TypeError):
        nv.reconstruct_pair_surface_points(**args)


def test_convertible_arguments_are_cast():
    args = small_call("reconstruct_pair_surface_points")
    base = nv.reconstruct_pair_surface_points(**args)
    cast = dict(
        args,
        K=args["K"].astype(np.int32),
        uv=args["uv"].tolist(),
        cam_indices=args["cam_indices"] + 0.75,
        point_indices=[4.9, 4.2],
        dic_valid=args["dic_valid"].astype(np.float32) * 3,
        reduced_width=np.int64(11),
        scale=1,
    )
    res = nv.reconstruct_pair_surface_points(**cast)
    for key in base:
        np.testing.assert_array_equal(res[key], base[key])


DIMENSION_CASES = [
    ("K", np.zeros((2, 9)), 2, 3),
    ("dist", np.zeros(2), 1, 2),
    ("R", np.zeros((2, 3, 3, 1)), 4, 3),
    ("t", np.zeros((2, 3, 1)), 3, 2),
    ("point_indices", np.zeros((2, 1), np.int64), 2, 1),
    ("cam_indices", np.int32(0), 0, 1),
    ("uv", np.zeros(4), 1, 2),
    ("dic_u", np.zeros((2, 121)), 2, 3),
    ("dic_v", np.zeros((2, 11, 11, 1)), 4, 3),
    ("dic_corrcoef", np.zeros(242), 1, 3),
    ("dic_valid", np.zeros((2, 121), bool), 2, 3),
]


@pytest.mark.parametrize("name", ["reconstruct_tracks", "reconstruct_pair_surface_points"])
@pytest.mark.parametrize(("argument", "value", "got", "want"), DIMENSION_CASES, ids=[c[0] for c in DIMENSION_CASES])
def test_wrong_number_of_dimensions(name, argument, value, got, want):
    args = small_call(name)
    args[argument] = value
    with pytest.raises(ValueError) as err:
        getattr(nv, name)(**args)
    assert str(err.value) == f"array has incorrect number of dimensions: {got}; expected {want}"


@pytest.mark.parametrize("name", ["reconstruct_tracks", "reconstruct_pair_surface_points"])
def test_first_wrong_view_in_reading_order_wins(name):
    args = small_call(name)
    args.update(uv=np.zeros(4), dist=np.zeros(2), dic_u=np.zeros(3))
    with pytest.raises(ValueError, match="dimensions: 1; expected 2$"):
        getattr(nv, name)(**args)
    args.update(dist=np.zeros((2, 2)), uv=np.zeros((2, 2)), dic_v=np.zeros(3))
    with pytest.raises(ValueError, match="^array has incorrect number of dimensions: 1; expected 3$"):
        getattr(nv, name)(**args)


def test_deformation_dimension_error_is_a_value_error():
    args = small_call("compute_surface_deformation")
    args["faces"] = np.zeros(3, np.int32)
    with pytest.raises(ValueError, match="^array has incorrect number of dimensions: 1; expected 2$"):
        nv.compute_surface_deformation(**args)


# --------------------------------------------------------------------------
# Initialisation: multi-phase, and no sub-interpreter support


def test_module_definition_is_multi_phase_and_refuses_sub_interpreters():
    """Reads the PyModuleDef that PyInit_native_vostrel returns.

    A single-phase module would return a module object; a multi-phase one
    returns its definition, whose slot list must hold create and exec slots
    and Py_mod_multiple_interpreters = Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED
    (NULL). The pointer is read without touching its reference count.
    """
    lib = ctypes.PyDLL(nv.__file__)
    init = lib.PyInit_native_vostrel
    init.restype = ctypes.c_void_p
    definition = init()
    moduledef_type = ctypes.addressof(ctypes.c_char.in_dll(ctypes.pythonapi, "PyModuleDef_Type"))

    class ModuleDef(ctypes.Structure):
        _fields_ = [
            ("ob_refcnt", ctypes.c_ssize_t),
            ("ob_type", ctypes.c_void_p),
            ("m_init", ctypes.c_void_p),
            ("m_index", ctypes.c_ssize_t),
            ("m_copy", ctypes.c_void_p),
            ("m_name", ctypes.c_char_p),
            ("m_doc", ctypes.c_char_p),
            ("m_size", ctypes.c_ssize_t),
            ("m_methods", ctypes.c_void_p),
            ("m_slots", ctypes.c_void_p),
        ]

    class Slot(ctypes.Structure):
        _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

    md = ModuleDef.from_address(definition)
    assert md.ob_type == moduledef_type
    assert md.m_name == b"native_vostrel"
    slots = {}
    address = md.m_slots
    while True:
        slot = Slot.from_address(address)
        if slot.slot == 0:
            break
        slots[slot.slot] = slot.value
        address += ctypes.sizeof(Slot)
    py_mod_create, py_mod_exec, py_mod_multiple_interpreters = 1, 2, 3
    assert slots[py_mod_create] and slots[py_mod_exec]
    assert py_mod_multiple_interpreters in slots and slots[py_mod_multiple_interpreters] is None


def test_import_in_an_isolated_sub_interpreter_raises_import_error():
    # CPython 3.12 offers sub-interpreters through the private
    # _xxsubinterpreters module; an isolated one enforces the declaration.
    # Run in a child process so the test process keeps one interpreter.
    module_dir = os.path.dirname(nv.__file__)
    script = textwrap.dedent(f"""
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        code = "import sys; sys.path.insert(0, {module_dir!r}); import native_vostrel"
        try:
            interpreters.run_string(interp, code)
        except interpreters.RunFailedError as err:
            print("refused:", err)
        else:
            print("loaded")
        interpreters.destroy(interp)
        import native_vostrel
        print("main:", native_vostrel.__doc__)
    """)
    out = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ, PYTHONPATH=module_dir),
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("refused: <class 'ImportError'>")
    assert "does not support loading in subinterpreters" in lines[0]
    assert lines[1] == "main: Native acceleration kernels for Orvalle vostrel."
