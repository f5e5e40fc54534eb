"""The camera model: projection, its inverse, and the epipolar distance."""

from __future__ import annotations

import cv2
import numpy as np
import pytest
from conftest import assert_close
from scipy.spatial.transform import Rotation

from dicpipe.camera import Calibration, CalibrationError, Camera, _distort, _distortion_jacobian

WIDTH, HEIGHT = 1920, 1200
# Strong lenses with tangential terms and skew: about 80 px of barrel and
# 120 px of pincushion displacement at the image corners.
LENSES = {
    "barrel": (-0.28, 0.09, 1.2e-3, -8e-4, -0.01),
    "pincushion": (0.22, 0.05, -1e-3, 1.5e-3, 0.02),
}


def make_camera(dist=(0, 0, 0, 0, 0), skew=0.0, rotvec=(0.1, -0.25, 0.05), t=(12.0, -4.0, 30.0)) -> Camera:
    K = [[1400.0, skew, 955.5], [0.0, 1402.0, 610.25], [0.0, 0.0, 1.0]]
    return Camera(K, dist, Rotation.from_rotvec(rotvec).as_matrix(), t, WIDTH, HEIGHT)


def world_points(camera: Camera, xy: np.ndarray, depth: np.ndarray) -> np.ndarray:
    """World points at the given depths on the rays of undistorted normalised coordinates."""
    xc = np.concatenate([xy * depth[..., None], depth[..., None]], axis=-1)
    return (xc - camera.t) @ camera.R


def image_grid(step: int = 16) -> np.ndarray:
    u = np.r_[np.arange(0, WIDTH, step), WIDTH - 1]
    v = np.r_[np.arange(0, HEIGHT, step), HEIGHT - 1]
    return np.stack(np.meshgrid(u, v), axis=-1).astype(float)


class TestRoundTrips:
    @pytest.mark.parametrize("lens", sorted(LENSES))
    def test_every_pixel_comes_back_to_1e9_px(self, lens):
        camera = make_camera(LENSES[lens], skew=0.7)
        uv = image_grid()
        xy = camera.normalize(uv)
        assert np.isfinite(xy).all()
        back = camera.project(world_points(camera, xy, np.full(uv.shape[:-1], 400.0)))
        assert np.abs(back - uv).max() < 1e-9

    @pytest.mark.parametrize("lens", sorted(LENSES))
    def test_normalised_points_come_back_to_1e12(self, lens):
        camera = make_camera(LENSES[lens], skew=-1.3)
        rng = np.random.default_rng(11)
        xy = rng.uniform([-0.65, -0.42], [0.65, 0.42], size=(5000, 2))
        uv = camera.project(world_points(camera, xy, rng.uniform(100, 900, 5000)))
        assert_close(camera.normalize(uv), xy, rel=0, abs_=1e-12)

    def test_a_point_does_not_depend_on_its_batch(self):
        # Parallel runs split the points differently: results must not move a bit.
        camera = make_camera(LENSES["barrel"], skew=0.3)
        rng = np.random.default_rng(5)
        uv = rng.uniform([-200, -200], [WIDTH + 4000, HEIGHT + 4000], size=(64, 2))
        uv[3] = np.nan
        X = world_points(camera, rng.uniform(-0.6, 0.6, (64, 2)), rng.uniform(50, 500, 64))
        whole_n, whole_p = camera.normalize(uv), camera.project(X)
        assert np.isnan(whole_n).any() and np.isfinite(whole_n).any()
        for k in range(len(uv)):
            np.testing.assert_array_equal(camera.normalize(uv[k]), whole_n[k])
            np.testing.assert_array_equal(camera.project(X[k : k + 1])[0], whole_p[k])

    @pytest.mark.parametrize("lens", sorted(LENSES))
    def test_newton_jacobian_is_the_derivative(self, lens):
        # Newton converges (slowly) with a wrong Jacobian, so check it directly;
        # the epipolar distance uses it as well.
        dist = np.array(LENSES[lens]) * [1, 1, 20, 20, 1]
        x, y = np.random.default_rng(9).uniform(-0.7, 0.7, (2, 200))
        h = 1e-6
        d_dx = (np.array(_distort(dist, x + h, y)) - np.array(_distort(dist, x - h, y))) / (2 * h)
        d_dy = (np.array(_distort(dist, x, y + h)) - np.array(_distort(dist, x, y - h))) / (2 * h)
        jxx, jxy, jyx, jyy = _distortion_jacobian(dist, x, y)
        assert_close(np.stack([jxx, jyx, jxy, jyy]), np.concatenate([d_dx, d_dy]), rel=0, abs_=1e-8)


class TestAgainstOpenCV:
    def random_cases(self, seed: int, n: int = 12):
        rng = np.random.default_rng(seed)
        for _ in range(n):
            K = np.array(
                [
                    [rng.uniform(800, 3000), 0, rng.uniform(400, 1000)],
                    [0, rng.uniform(800, 3000), rng.uniform(300, 700)],
                ]
                + [[0, 0, 1]]
            )
            dist = rng.uniform([-0.3, -0.1, -2e-3, -2e-3, -0.05], [0.3, 0.1, 2e-3, 2e-3, 0.05])
            rvec, tvec = rng.normal(size=3) * 0.3, rng.normal(size=3) * 20
            camera = Camera(K, dist, cv2.Rodrigues(rvec)[0], tvec)
            X = world_points(camera, rng.uniform(-0.5, 0.5, (300, 2)), rng.uniform(50, 500, 300))
            yield camera, rvec, tvec, X

    def test_projection_agrees_with_projectPoints(self):
        for camera, rvec, tvec, X in self.random_cases(1):
            expected = cv2.projectPoints(X, rvec, tvec, camera.K, camera.dist)[0].reshape(-1, 2)
            assert_close(camera.project(X), expected, rel=0, abs_=1e-6)

    def test_normalize_agrees_with_undistortPoints(self):
        criteria = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 200, 1e-15)
        for camera, _, _, X in self.random_cases(2):
            uv = camera.project(X)
            K = camera.K
            expected = cv2.undistortPointsIter(uv.reshape(-1, 1, 2), K, camera.dist, None, K, criteria).reshape(-1, 2)
            ours = camera.normalize(uv) * [K[0, 0], K[1, 1]] + [K[0, 2], K[1, 2]]
            assert_close(ours, expected, rel=0, abs_=1e-6)

    def test_skew_shears_the_pixel_plane(self):
        # OpenCV has no skew; with it, u gains s * y_d and v is unchanged.
        plain = make_camera(LENSES["pincushion"])
        skewed = make_camera(LENSES["pincushion"], skew=2.5)
        X = world_points(plain, np.random.default_rng(4).uniform(-0.5, 0.5, (100, 2)), np.full(100, 300.0))
        rvec = cv2.Rodrigues(plain.R)[0]
        uv = cv2.projectPoints(X, rvec, plain.t, plain.K, plain.dist)[0].reshape(-1, 2)
        y_d = (uv[:, 1] - plain.K[1, 2]) / plain.K[1, 1]
        assert_close(skewed.project(X), np.column_stack([uv[:, 0] + 2.5 * y_d, uv[:, 1]]), rel=0, abs_=1e-6)


class TestNoTrustworthyInverse:
    # k1 = -0.8, k2 = 0.2: the radial curve r (1 + k1 r^2 + k2 r^4) rises to 0.4603
    # at r = 0.7326, falls, and rises again past r = 1.365: a distorted radius
    # above 0.4603 has only a preimage beyond the fold, which is not a lens.
    FOLDING = (-0.8, 0.2, 0.0, 0.0, 0.0)

    def camera(self) -> Camera:
        return Camera([[1000.0, 0.0, 0.0], [0.0, 1000.0, 0.0], [0.0, 0.0, 1.0]], self.FOLDING, np.eye(3), np.zeros(3))

    def test_beyond_the_fold_is_nan_not_a_wrong_point(self):
        xy = self.camera().normalize([[470.0, 0.0], [600.0, 0.0], [0.0, -2000.0], [1e9, 1e9]])
        assert np.isnan(xy).all()

    def test_inside_the_fold_the_inner_preimage_is_chosen(self):
        camera = self.camera()
        uv = np.array([[450.0, 0.0], [300.0, 0.0], [-200.0, 310.0]])
        xy = camera.normalize(uv)
        assert np.all(np.sum(xy**2, axis=-1) < 0.7326**2)
        assert_close(camera.project(np.column_stack([xy, np.ones(3)])), uv, rel=0, abs_=1e-9)

    def test_extreme_barrel_far_outside_the_image(self):
        camera = make_camera((-0.5, 0.0, 0.0, 0.0, 0.0))
        uv = np.array([[WIDTH * 3.0, HEIGHT * 3.0], [-5000.0, 600.0], [960.0, 600.0]])
        xy = camera.normalize(uv)
        assert np.isnan(xy[:2]).all() and np.isfinite(xy[2]).all()

    def test_points_behind_the_camera_have_no_pixel(self):
        camera = make_camera()
        X = world_points(camera, np.array([[0.1, 0.2], [0.1, 0.2], [0.1, 0.2]]), np.array([-5.0, 0.0, 5.0]))
        uv = camera.project(X)
        assert np.isnan(uv[:2]).all() and np.isfinite(uv[2]).all()


class TestCameraRecord:
    def test_short_distortion_vectors_are_completed_with_zeros(self):
        assert make_camera((0.1, -0.02)) == make_camera((0.1, -0.02, 0.0, 0.0, 0.0))
        assert make_camera((0.1, -0.02, 0.0, 0.0)).dist.shape == (5,)
        assert make_camera(()).is_radial2()

    @pytest.mark.parametrize(
        ("dist", "skew", "radial2"),
        [
            ((0.1, 0.2, 0, 0, 0), 0.0, True),
            ((0.1, 0.2, 1e-9, 0, 0), 0.0, False),
            ((0.1, 0.2, 0, 1e-9, 0), 0.0, False),
            ((0.1, 0.2, 0, 0, 1e-9), 0.0, False),
            ((0.1, 0.2, 0, 0, 0), 1e-9, False),
        ],
    )
    def test_is_radial2(self, dist, skew, radial2):
        assert make_camera(dist, skew).is_radial2() is radial2

    def test_arrays_are_read_only_copies(self):
        K = np.array([[1000.0, 0, 500], [0, 1000, 400], [0, 0, 1]])
        camera = Camera(K, [0.1, 0.0], np.eye(3), [0.0, 0.0, 10.0])
        K[0, 0] = 1.0
        assert camera.K[0, 0] == 1000.0
        with pytest.raises(ValueError):
            camera.K[0, 0] = 2.0
        assert_close(camera.centre, [0.0, 0.0, -10.0])

    @pytest.mark.parametrize(
        ("field", "value", "message"),
        [
            ("K", [[-1.0, 0, 5], [0, 1, 5], [0, 0, 1]], "K: focal lengths must be positive"),
            ("K", [[1.0, 0, 5], [0, 1, 5], [0, 0, 2]], "K: expected [[fx, s, cx]"),
            ("K", [[1.0, 0, 5], [0, 1, 5]], "K: expected a 3 x 3"),
            ("K", [[1.0, 0, np.nan], [0, 1, 5], [0, 0, 1]], "K: non-finite"),
            ("dist", [0.1, 0.2, 0.3], "dist: expected 0, 2, 4 or 5"),
            ("dist", [0.1, np.inf], "dist: non-finite"),
            ("R", np.diag([1.0, 1.0, -1.0]), "R: not a rotation (a reflection"),
            ("R", 1.001 * np.eye(3), "R: not a rotation"),
            ("t", [1.0, 2.0, 3.0, 4.0], "t: expected 3 numbers"),
            ("t", ["1", "2", "3"], "t: expected numbers"),
            ("width", 0, "width: expected a positive whole number"),
            ("width", True, "width: expected a positive whole number"),
            ("height", None, "width, height: give both or neither"),
        ],
    )
    def test_invalid_values_name_the_field(self, field, value, message):
        args = dict(K=np.eye(3), dist=[], R=np.eye(3), t=[0, 0, 1], width=640, height=480)
        args[field] = value
        with pytest.raises(CalibrationError) as info:
            Camera(**args)
        assert str(info.value).startswith(message) and "\n" not in str(info.value)

    def test_wrong_point_shapes_are_refused(self):
        camera = make_camera()
        with pytest.raises(ValueError, match=r"\(\.\.\., 3\)"):
            camera.project(np.zeros((4, 2)))
        with pytest.raises(ValueError, match=r"\(\.\.\., 2\)"):
            camera.normalize(np.zeros(3))


class TestEpipolarDistance:
    def rig(self, dist0=(0,) * 5, dist1=(0,) * 5, skew=0.0) -> Calibration:
        cam0 = make_camera(dist0, rotvec=(0.0, 0.16, 0.0), t=(-60.0, 0.0, 500.0))
        cam1 = make_camera(dist1, skew=skew, rotvec=(0.01, -0.17, 0.02), t=(62.0, 1.0, 505.0))
        return Calibration((cam0, cam1))

    def curve(self, calibration, uv0, depths):
        """Camera 1's pixels of the points on camera 0's ray through uv0."""
        cam0, cam1 = calibration.cameras
        xy = cam0.normalize(uv0)
        return cam1.project(world_points(cam0, np.broadcast_to(xy, (len(depths), 2)), np.asarray(depths)))

    def test_pinhole_offsets_perpendicular_to_the_line(self):
        calibration = self.rig(skew=1.5)
        uv0 = np.array([700.0, 420.0])
        p, q = self.curve(calibration, uv0, [300.0, 900.0])
        direction = (q - p) / np.linalg.norm(q - p)
        normal = np.array([-direction[1], direction[0]])
        offsets = np.array([0.0, 0.25, -2.0, 7.5])
        uv1 = p + 0.4 * (q - p) + offsets[:, None] * normal
        assert_close(calibration.epipolar_distance(0, 1, uv0, uv1), np.abs(offsets), rel=1e-7, abs_=1e-9)
        # Camera 0's view of camera 1's pixels: the same geometry, the other way.
        assert calibration.epipolar_distance(1, 0, p, uv0) < 1e-9

    def test_distorted_curve_and_offsets(self):
        calibration = self.rig(LENSES["barrel"], LENSES["pincushion"], skew=0.8)
        uv0 = np.array([[150.0, 80.0], [1800.0, 1100.0], [960.0, 600.0]])
        for point in uv0:
            on_curve = self.curve(calibration, point, np.linspace(350.0, 800.0, 7))
            assert calibration.epipolar_distance(0, 1, point, on_curve).max() < 1e-8
            p, q = self.curve(calibration, point, [500.0, 500.001])
            direction = (q - p) / np.linalg.norm(q - p)
            normal = np.array([-direction[1], direction[0]])
            measured = calibration.epipolar_distance(0, 1, point, p + 0.5 * normal)
            assert abs(measured - 0.5) < 1e-3

    def test_shapes_nan_and_indices(self):
        calibration = self.rig(LENSES["barrel"])
        d = calibration.epipolar_distance(0, 1, np.zeros((4, 1, 2)), np.full((5, 2), 300.0))
        assert d.shape == (4, 5)
        assert np.isnan(calibration.epipolar_distance(0, 1, [np.nan, 3.0], [1.0, 2.0]))
        with pytest.raises(ValueError, match="two different cameras"):
            calibration.epipolar_distance(1, 1, [0, 0], [0, 0])
        with pytest.raises(ValueError, match="expected 0 to 1"):
            calibration.epipolar_distance(0, 2, [0, 0], [0, 0])
