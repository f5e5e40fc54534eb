"""Calibration records and files: our JSON, OpenCV FileStorage, VIC-3D project XML."""

from __future__ import annotations

import hashlib
import json
import os
import struct
from pathlib import Path

import cv2
import numpy as np
import pytest
from conftest import assert_close
from scipy.spatial.transform import Rotation

from dicpipe.camera import Calibration, CalibrationError, Camera, load_calibration, save_calibration

FIXTURES = Path(__file__).resolve().parent / "data" / "calibration"


def stereo_data() -> Path | None:
    """The real stereo set (a VIC-3D project and a reference result), from GT4_STEREO_DATA or shared/data."""
    explicit = os.environ.get("GT4_STEREO_DATA")
    if explicit:
        return Path(explicit) if (Path(explicit) / "source" / "cal.xml").is_file() else None
    for parent in Path(__file__).resolve().parents[1:4]:
        found = sorted((parent / "shared" / "data" / "stereo").glob("*gt4/source/cal.xml"))
        if found:
            return found[0].parents[1]
    return None


def full_calibration() -> Calibration:
    cam0 = Camera([[2400.0, 0.0, 640.5], [0.0, 2401.25, 511.75], [0.0, 0.0, 1.0]], [-0.12, 0.05], np.eye(3), [0, 0, 0])
    cam1 = Camera(
        [[2390.5, 0.35, 655.0], [0.0, 2389.0, 498.5], [0.0, 0.0, 1.0]],
        [0.08, -0.03, 4e-4, -2.5e-4, 0.011],
        Rotation.from_rotvec([0.02, -0.33, 0.01]).as_matrix(),
        [118.0, -0.7, 21.3],
        1280,
        1024,
    )
    return Calibration((cam0, cam1), units="mm")


def one_line_error(call, *fragments: str) -> str:
    """Runs `call`, expecting one CalibrationError line that contains every fragment."""
    with pytest.raises(CalibrationError) as info:
        call()
    message = str(info.value)
    assert "\n" not in message, message
    for fragment in fragments:
        assert fragment in message, f"{fragment!r} not in {message!r}"
    return message


def assert_same_cameras(a: Calibration, b: Calibration) -> None:
    assert len(a) == len(b)
    for x, y in zip(a.cameras, b.cameras):
        assert x == y, (x, y)


class TestRecord:
    def test_module_arrays_radial2_keeps_two_columns(self):
        cam = full_calibration().cameras[0]
        arrays = Calibration((cam, Camera(cam.K, [0.3, -0.1], np.eye(3), [100.0, 0, 0]))).module_arrays()
        assert arrays["distortion_model"] == "radial2"
        assert arrays["dist"].shape == (2, 2) and arrays["K"].shape == (2, 3, 3)
        np.testing.assert_array_equal(arrays["dist"], [[-0.12, 0.05], [0.3, -0.1]])
        np.testing.assert_array_equal(arrays["t"], [[0, 0, 0], [100.0, 0, 0]])

    def test_module_arrays_opencv_passes_the_full_model(self):
        calibration = full_calibration()
        arrays = calibration.module_arrays()
        assert arrays["distortion_model"] == "opencv"
        np.testing.assert_array_equal(arrays["dist"], [[-0.12, 0.05, 0, 0, 0], [0.08, -0.03, 4e-4, -2.5e-4, 0.011]])
        assert arrays["K"][1, 0, 1] == 0.35
        np.testing.assert_array_equal(arrays["R"][1], calibration.cameras[1].R)
        for value in (arrays["K"], arrays["dist"], arrays["R"], arrays["t"]):
            assert value.dtype == np.float64 and value.flags.c_contiguous and value.flags.writeable

    def test_digest_hashes_the_documented_little_endian_layout(self):
        calibration = full_calibration()
        blob = b"dicpipe-calibration/1\nmm\n"
        for c in calibration.cameras:
            blob += struct.pack("<qq", c.width or -1, c.height or -1)
            for arr in (c.K, c.dist, c.R, c.t):
                blob += struct.pack(f"<{arr.size}d", *arr.ravel().tolist())
        assert calibration.digest() == hashlib.sha256(blob).hexdigest()

    def test_digest_sees_every_number_and_ignores_the_source(self):
        calibration = full_calibration()
        cam0, cam1 = calibration.cameras
        digest = calibration.digest()
        nudged_t = cam1.t.copy()
        nudged_t[2] = np.nextafter(nudged_t[2], np.inf)
        variants = [
            Calibration((cam0, Camera(cam1.K, cam1.dist, cam1.R, nudged_t, 1280, 1024))),
            Calibration((cam0, Camera(cam1.K, cam1.dist, cam1.R, cam1.t))),
            Calibration(calibration.cameras, units="m"),
            Calibration((cam1, cam0)),
        ]
        assert len({digest, *(v.digest() for v in variants)}) == 5
        assert Calibration(calibration.cameras, source="elsewhere").digest() == digest
        signed_zero = Camera(cam0.K, [-0.12, 0.05, -0.0, 0.0, -0.0], cam0.R, [-0.0, 0.0, -0.0])
        assert Calibration((signed_zero, cam1), units="mm").digest() == digest

    def test_with_image_sizes(self):
        calibration = full_calibration()
        sized = calibration.with_image_sizes([(1280, 1024), (1280, 1024)])
        assert [(c.width, c.height) for c in sized.cameras] == [(1280, 1024)] * 2
        assert calibration.cameras[0].width is None
        one_line_error(lambda: calibration.with_image_sizes([(1280, 1024), (640, 512)]), "camera 1", "640 x 512")
        one_line_error(lambda: calibration.with_image_sizes([(1280, 1024)]), "2 cameras but 1 image sizes")

    def test_empty_calibration(self):
        one_line_error(lambda: Calibration(()), "cameras: no camera")
        one_line_error(lambda: Calibration(full_calibration().cameras, units=" "), "units")


class TestOurJson:
    def test_save_then_load_is_bit_exact(self, tmp_path):
        target = tmp_path / "calibration.json"
        calibration = full_calibration()
        save_calibration(target, calibration)
        loaded = load_calibration(target)
        assert_same_cameras(loaded, calibration)
        assert loaded.digest() == calibration.digest() and loaded.units == "mm"
        assert str(target) in loaded.source
        assert json.loads(target.read_text())["format"] == "dicpipe-calibration"
        assert os.listdir(tmp_path) == ["calibration.json"]

    def test_failed_write_keeps_the_old_file(self, tmp_path, monkeypatch):
        target = tmp_path / "calibration.json"
        save_calibration(target, full_calibration())
        before = target.read_bytes()

        def broken_replace(src, dst):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(os, "replace", broken_replace)
        with pytest.raises(OSError):
            save_calibration(target, Calibration(full_calibration().cameras[:1]))
        assert target.read_bytes() == before and os.listdir(tmp_path) == ["calibration.json"]

    def test_hand_written_file_with_short_distortion(self, tmp_path):
        target = tmp_path / "cal.json"
        target.write_text(
            '{"format": "dicpipe-calibration", "units": "m", "cameras": ['
            '{"K": [[1000, 0, 320], [0, 1000, 240], [0, 0, 1]], "R": [[1,0,0],[0,1,0],[0,0,1]], "t": [0,0,0]},'
            '{"image_size": [640, 480], "K": [[1000, 0.5, 320], [0, 1000, 240], [0, 0, 1]],'
            ' "distortion": [0.1, -0.2, 0.001, 0.002], "R": [[1,0,0],[0,1,0],[0,0,1]], "t": [-0.1, 0, 0]}]}'
        )
        calibration = load_calibration(target)
        cam0, cam1 = calibration.cameras
        np.testing.assert_array_equal(cam0.dist, np.zeros(5))
        np.testing.assert_array_equal(cam1.dist, [0.1, -0.2, 0.001, 0.002, 0.0])
        assert (cam0.width, cam1.width, cam1.height, cam1.K[0, 1], calibration.units) == (None, 640, 480, 0.5, "m")

    @pytest.mark.parametrize(
        ("edit", "fragments"),
        [
            (lambda d: d["cameras"][1].pop("K"), ["cameras[1].K: missing"]),
            (lambda d: d["cameras"][0].update(R=[[1, 0, 0], [0, 1, 0], [0, 0, -1]]), ["cameras[0].R: not a rotation"]),
            (lambda d: d["cameras"][0].update(t=[1, 2]), ["cameras[0].t: expected 3 numbers"]),
            (lambda d: d["cameras"][1].update(t=[1, float("nan"), 2]), ["cameras[1].t: non-finite"]),
            (
                lambda d: d["cameras"][0].update(K=[["1", 0, 0], [0, 1, 0], [0, 0, 1]]),
                ["cameras[0].K: expected numbers"],
            ),
            (lambda d: d["cameras"][1].update(distortion=[0.1, 0.2, 0.3]), ["cameras[1].distortion"]),
            (lambda d: d["cameras"][0].update(distorsion=[0.1]), ["cameras[0]", "unknown key 'distorsion'"]),
            (lambda d: d["cameras"][0].update(image_size=[640]), ["cameras[0].image_size"]),
            (lambda d: d["cameras"][0].update(image_size=[640.5, 480]), ["cameras[0].image_size"]),
            (lambda d: d.update(format="other"), ["format: expected 'dicpipe-calibration'"]),
            (lambda d: d.pop("format"), ["format: missing"]),
            (lambda d: d.update(version=2), ["version: 2 is not supported"]),
            (lambda d: d.update(units=5), ["units"]),
            (lambda d: d.update(cameras=[]), ["cameras: expected a non-empty list"]),
            (lambda d: d.update(extra=1), ["unknown key 'extra'"]),
        ],
    )
    def test_errors_name_the_file_and_the_key(self, tmp_path, edit, fragments):
        target = tmp_path / "calibration.json"
        save_calibration(target, full_calibration())
        doc = json.loads(target.read_text())
        edit(doc)
        target.write_text(json.dumps(doc))
        one_line_error(lambda: load_calibration(target), str(target), *fragments)

    def test_duplicate_keys_and_broken_json(self, tmp_path):
        target = tmp_path / "c.json"
        target.write_text('{"format": "dicpipe-calibration", "cameras": [], "cameras": []}')
        one_line_error(lambda: load_calibration(target), str(target), "'cameras' appears twice")
        target.write_text('{"format": "dicpipe-calibration", ')
        one_line_error(lambda: load_calibration(target), str(target), "not valid JSON")


class TestFiles:
    @pytest.mark.parametrize(
        ("content", "fragment"),
        [
            (None, "cannot read the calibration file"),
            (b"  \n", "is empty"),
            (b"cameras: 2\n", "not a calibration format"),
            (b"<project><calibration>", "not well-formed XML"),
            (b'<?xml version="1.0" encoding="no-such"?><project/>', "not well-formed XML"),
            (b'{"cameras": ' + b"[" * 200000, "not valid JSON"),
            (b"<root><camera/></root>", "XML root <root>"),
            (b"%YAML:1.0\n---\nK1: [1, 2\n", "OpenCV cannot read"),
            (b"%YAML:1.0\n---\nfocal: 1000\n", "no camera matrix (expected one of K1, cameraMatrix1, M1)"),
        ],
    )
    def test_unusable_files(self, tmp_path, content, fragment):
        target = tmp_path / "calibration.dat"
        if content is not None:
            target.write_bytes(content)
        one_line_error(lambda: load_calibration(target), str(target), fragment)

    def test_oversized_file_is_refused_unread(self, tmp_path, monkeypatch):
        target = tmp_path / "huge.json"
        target.write_text("{}")
        monkeypatch.setattr("dicpipe.camera.MAX_FILE_BYTES", 1)
        one_line_error(lambda: load_calibration(target), str(target), "too large")

    @pytest.mark.parametrize("kind", ["json", "yml", "xml"])
    def test_the_content_decides_not_the_name(self, tmp_path, kind):
        calibration = full_calibration()
        written = tmp_path / f"written.{kind}"
        if kind == "json":
            save_calibration(written, calibration)
        else:
            write_opencv(written, calibration)
        disguised = tmp_path / "calibration.txt"
        disguised.write_bytes(written.read_bytes())
        assert_same_cameras(load_calibration(disguised), load_calibration(written))


def write_opencv(path: Path, calibration: Calibration, keys=("K1", "D1", "K2", "D2"), dist_size=5, extra=None):
    """A stereo calibration file as OpenCV writes it; `extra` adds or replaces keys (None leaves one out)."""
    cam0, cam1 = calibration.cameras
    assert np.array_equal(cam0.R, np.eye(3)) and not cam0.t.any()
    values = {"R": cam1.R, "T": cam1.t.reshape(3, 1)}
    for k_key, d_key, cam in ((keys[0], keys[1], cam0), (keys[2], keys[3], cam1)):
        d = np.zeros((1, dist_size))
        d[0, : min(5, dist_size)] = cam.dist[: min(5, dist_size)]
        values.update({k_key: cam.K, d_key: d})
    values.update(extra or {})
    fs = cv2.FileStorage(str(path), cv2.FILE_STORAGE_WRITE)
    for key, value in values.items():
        if value is not None:
            fs.write(key, value)
    fs.release()


class TestOpenCV:
    @pytest.mark.parametrize(
        "keys",
        [
            ("K1", "D1", "K2", "D2"),
            ("cameraMatrix1", "distCoeffs1", "cameraMatrix2", "distCoeffs2"),
            ("M1", "D1", "M2", "D2"),
        ],
    )
    @pytest.mark.parametrize("ext", ["yml", "xml", "json"])
    def test_key_families_and_formats(self, tmp_path, keys, ext):
        calibration = full_calibration()
        target = tmp_path / f"stereo.{ext}"
        write_opencv(target, calibration, keys, extra={"imageSize": np.array([[1280], [1024]])})
        loaded = load_calibration(target)
        expected = calibration.with_image_sizes([(1280, 1024)] * 2)
        assert_same_cameras(loaded, expected)
        assert loaded.units == "mm" and "OpenCV" in loaded.source

    @pytest.mark.parametrize("size", [4, 5, 8, 12, 14])
    def test_distortion_lengths(self, tmp_path, size):
        calibration = full_calibration()
        write_opencv(tmp_path / "s.yml", calibration, dist_size=size)
        dist = load_calibration(tmp_path / "s.yml").cameras[1].dist
        np.testing.assert_array_equal(
            dist, np.r_[calibration.cameras[1].dist[: min(size, 5)], np.zeros(5 - min(size, 5))]
        )

    @pytest.mark.parametrize(("index", "name"), [(5, "k4"), (7, "k6"), (8, "s1"), (11, "s4"), (13, "tauy")])
    def test_terms_beyond_the_model_are_refused_by_name(self, tmp_path, index, name):
        d = np.zeros((1, 14))
        d[0, index] = 0.25
        target = tmp_path / "s.yml"
        write_opencv(target, full_calibration(), dist_size=14, extra={"D2": d})
        one_line_error(lambda: load_calibration(target), str(target), "D2", f"{name}=0.25", "not modelled")

    def test_sequences_as_written_by_hand_or_by_cpp(self, tmp_path):
        target = tmp_path / "stereo.yaml"
        target.write_text(
            "%YAML:1.0\n---\nimage_width: 640\nimage_height: 480\nunits: m\n"
            "M1: [[800, 0, 320], [0, 800, 240], [0, 0, 1]]\nD1: [0.1, -0.05, 0, 0]\n"
            "M2: [[810, 0, 330], [0, 805, 235], [0, 0, 1]]\nD2: [0, 0, 0, 0, 0, 0, 0, 0]\n"
            "R: [0.0, 0.3, 0.0]\nT: [-0.12, 0.001, 0.01]\n"
        )
        loaded = load_calibration(target)
        cam0, cam1 = loaded.cameras
        assert (loaded.units, cam0.width, cam1.height) == ("m", 640, 480)
        np.testing.assert_array_equal(cam0.K[0], [800, 0, 320])
        np.testing.assert_array_equal(cam0.dist, [0.1, -0.05, 0, 0, 0])
        assert_close(cam1.R, Rotation.from_rotvec([0, 0.3, 0]).as_matrix(), abs_=1e-15)  # a rotation vector
        np.testing.assert_array_equal(cam1.t, [-0.12, 0.001, 0.01])

    @pytest.mark.parametrize(
        ("extra", "fragments"),
        [
            ({"D2": None}, ["D2: missing"]),
            ({"R": 1.01 * np.eye(3)}, ["R: not a rotation"]),
            ({"T": np.array([[1.0], [np.nan], [0.0]])}, ["T: non-finite"]),
            ({"T": np.ones((2, 1))}, ["T: expected 3 numbers"]),
            ({"K2": np.eye(2)}, ["K2: expected a 3 x 3"]),
            ({"D1": np.zeros((1, 6))}, ["D1: expected 4, 5, 8, 12 or 14 coefficients, got 6"]),
            ({"image_width": 640}, ["image_height: missing"]),
            ({"imageSize": np.array([[640.0], [0.0]])}, ["imageSize"]),
        ],
    )
    def test_errors_name_the_file_and_the_key(self, tmp_path, extra, fragments):
        target = tmp_path / "stereo.xml"
        write_opencv(target, full_calibration(), extra=extra)
        one_line_error(lambda: load_calibration(target), str(target), *fragments)

    def test_stereo_calibration_pose_is_camera_1(self, tmp_path):
        # OpenCV's stereoCalibrate on views of a target made with our cameras:
        # its R, T, saved as a script would, must give back our camera 1's pose.
        cam0, skewed = full_calibration().cameras
        K = np.array(skewed.K)
        K[0, 1] = 0.0  # OpenCV's calibration has no skew
        cam1 = Camera(K, skewed.dist, skewed.R, skewed.t)
        grid = np.stack(np.meshgrid(np.arange(9), np.arange(7)), -1).reshape(-1, 2) * 10.0 - [40, 30]
        board = np.column_stack([grid, np.zeros(len(grid))])
        objects, views0, views1 = [], [], []
        for rotvec in ([0.2, 0.1, 0.0], [-0.25, 0.15, 0.1], [0.1, -0.3, -0.05], [0.0, 0.35, 0.2]):
            X = board @ Rotation.from_rotvec(rotvec).as_matrix().T + [40.0, 5.0, 700.0]
            objects.append(board.astype(np.float32))
            views0.append(cam0.project(X).astype(np.float32))
            views1.append(cam1.project(X).astype(np.float32))
        result = cv2.stereoCalibrate(
            *(objects, views0, views1, np.array(cam0.K), np.array(cam0.dist), np.array(cam1.K), np.array(cam1.dist)),
            (1280, 1024),
            flags=cv2.CALIB_FIX_INTRINSIC,
        )
        rms, _, _, _, _, R, T = result[:7]
        assert rms < 1e-3, rms
        write_opencv(tmp_path / "stereo.yml", Calibration((cam0, Camera(cam1.K, cam1.dist, R, T))))
        loaded = load_calibration(tmp_path / "stereo.yml").cameras[1]
        assert_close(loaded.R, cam1.R, rel=0, abs_=1e-6)
        assert_close(loaded.t, cam1.t, rel=0, abs_=1e-3)


ORIENTATION_0 = "<orientation>1.7985e+02 1.02e+01 -1.5e-01 -5.9e+01 2.5e-01 2.05e+01</orientation>"


class TestVic3d:
    def test_fixture(self):
        calibration = load_calibration(FIXTURES / "vic_project.xml")
        cam0, cam1 = calibration.cameras  # listed as id 1, then id 0
        assert calibration.units == "mm" and "VIC-3D" in calibration.source
        np.testing.assert_array_equal(cam0.K, [[8199.3, 0.125, 1011.5], [0, 8200.7, 774.25], [0, 0, 1]])
        np.testing.assert_array_equal(cam1.dist, [-1.2e-2, 6.5e-1, 0, 0, -18.0])
        assert_close(cam0.R, Rotation.from_euler("xyz", [179.85, 10.2, -0.15], degrees=True).as_matrix(), abs_=1e-15)
        assert_close(cam1.R, Rotation.from_euler("xyz", [-179.5, -10.5, 0.25], degrees=True).as_matrix(), abs_=1e-15)
        np.testing.assert_array_equal(cam1.t, [61.0, -0.35, 22.0])
        assert cam0.width is None and calibration.module_arrays()["distortion_model"] == "opencv"

    @pytest.mark.parametrize(
        ("edits", "fragments"),
        [
            ([(ORIENTATION_0, "")], ["camera id=0: orientation: missing"]),
            ([("2.05e+01</orientation>", "</orientation>")], ["camera id=0: orientation: expected 6 numbers"]),
            ([(" -1.1e+01<orientation>", "<orientation>")], ["camera id=0: expected 8 numbers", "cx cy fx fy fs"]),
            ([("8.2104e+03", "8.21O4e+03")], ["camera id=1: expected numbers"]),
            ([("8.2104e+03", "nan")], ["camera id=1: non-finite"]),
            ([("8.2104e+03", "-8.2104e+03")], ["camera id=1: focal lengths must be positive"]),
            ([('camera id="1"', 'camera id="0"')], ["camera id=0: appears twice"]),
            ([('camera id="1"', 'camera id="2"')], ["camera ids [0, 2]"]),
            ([('camera id="1"', 'camera id="one"')], ["camera id='one'"]),
            ([("<camera ", "<lens "), ("</camera>", "</lens>")], ["calibration: no <camera>"]),
        ],
    )
    def test_errors_name_the_file_and_the_camera(self, tmp_path, edits, fragments):
        text = (FIXTURES / "vic_project.xml").read_bytes().decode("latin-1")
        for old, new in edits:
            assert old in text
            text = text.replace(old, new)
        target = tmp_path / "project.xml"
        target.write_bytes(text.encode("latin-1"))
        one_line_error(lambda: load_calibration(target), str(target), *fragments)

    def test_real_project_file(self):
        data = stereo_data()
        if data is None:
            pytest.skip("the real stereo data set is not here (set GT4_STEREO_DATA)")
        calibration = load_calibration(data / "source" / "cal.xml")
        cam0, cam1 = calibration.cameras
        relative = cam1.R @ cam0.R.T
        baseline = np.linalg.norm(cam1.centre - cam0.centre)
        angle = np.degrees(np.arccos((np.trace(relative) - 1) / 2))
        assert abs(baseline - 123.2) < 0.05 and abs(angle - 18.83) < 0.005
        assert abs(Rotation.from_matrix(relative).as_euler("xyz", degrees=True)[1] + 18.83) < 0.005
        assert_close(np.linalg.norm(cam1.t - relative @ cam0.t), baseline, rel=1e-12)
        assert calibration.module_arrays()["distortion_model"] == "opencv"
        check_against_reference_result(calibration, next((data / "reference").glob("*.e")))


def check_against_reference_result(calibration: Calibration, path: Path) -> None:
    """The reference result's stereo matches, triangulated with this calibration, give its 3D shape."""
    from scipy.io import netcdf_file

    with netcdf_file(path, "r", mmap=False) as f:
        names = [b"".join(row).decode().strip() for row in f.variables["name_nod_var"][:]]

        def field(name):
            return np.array(f.variables[f"vals_nod_var{names.index(name) + 1}"][0], dtype=float)

        uv0 = np.column_stack([field("COORDINATE_X"), field("COORDINATE_Y")])
        uv1 = np.column_stack([field("STEREO_COORDINATES_X"), field("STEREO_COORDINATES_Y")])
        model = np.column_stack([field(f"MODEL_COORDINATES_{a}") for a in "XYZ"])
    # That result was computed without lens distortion: triangulate pinhole rays.
    rows = []
    for cam, uv in zip(calibration.cameras, (uv0, uv1)):
        P = cam.K @ np.column_stack([cam.R, cam.t])
        rows += [uv[:, :1] * P[2] - P[0], uv[:, 1:] * P[2] - P[1]]
    A = np.stack(rows, axis=1)
    X = np.linalg.svd(A)[2][:, -1]
    X = X[:, :3] / X[:, 3:]
    distances = np.linalg.norm(X[:, None] - X[None], axis=-1)
    expected = np.linalg.norm(model[:, None] - model[None], axis=-1)
    assert np.abs(distances - expected).max() < 1e-4  # mm over a 100 mm specimen
    # With the file's full lens model the matches lie on their epipolar curves to
    # about twice their reprojection error in one camera (0.07 px RMS).
    assert np.sqrt(np.mean(calibration.epipolar_distance(0, 1, uv0, uv1) ** 2)) < 0.2
