#include "vostrel/deformation/surface_deformation.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "vostrel/core/thrown_message.h"

namespace vostrel {
namespace {

// Two faces over four vertices; the points are stored with a fourth, unread
// column, and the faces transposed (column-major) to read through strides.
struct Mesh {
  std::vector<std::int32_t> faces_t{0, 1, 1, 2, 2, 3};  // faces (0, 1, 2) and (1, 2, 3)
  std::vector<double> ref{0, 0, 0, 9, 1, 0, 0, 9, 0, 1, 0, 9, 1, 1, 0, 9};
  std::vector<double> def{0, 0, 0, 9, 2, 0, 0, 9, 0, 1, 0, 9, 2, 1, 0, 9};
  std::vector<unsigned char> valid{1, 1};

  std::array<std::ptrdiff_t, 2> faces_shape{2, 3}, faces_strides{4, 8};
  std::array<std::ptrdiff_t, 2> points_shape{4, 3}, points_strides{32, 8};
  std::array<std::ptrdiff_t, 2> def_shape{4, 3};
  std::array<std::ptrdiff_t, 1> valid_shape{2}, valid_strides{1};

  SurfaceArrays arrays() const {
    return {{faces_t.data(), 2, faces_shape.data(), faces_strides.data()},
            {ref.data(), 2, points_shape.data(), points_strides.data()},
            {def.data(), 2, def_shape.data(), points_strides.data()},
            {valid.data(), 1, valid_shape.data(), valid_strides.data()}};
  }
};

std::string construction_error(const SurfaceArrays& arrays) {
  return thrown_message<std::logic_error>([&] { SurfaceMesh{arrays}; });
}

TEST(SurfaceMesh, FacesAreReadThroughTheirStridesAndEvaluatedAlone) {
  Mesh m;
  const SurfaceMesh mesh(m.arrays());
  ASSERT_EQ(mesh.face_count(), 2);
  // Both faces are stretched twice along x.
  for (std::ptrdiff_t i = 0; i < 2; ++i) {
    const auto s = mesh.face_strain(i);
    ASSERT_TRUE(s.has_value()) << i;
    EXPECT_NEAR(s->deformation_gradient[0], 2.0, 1e-15) << i;
    EXPECT_EQ(s->reference_area, 0.5) << i;
  }
  // Vertex 3 deformed onto vertex 1: only the second face collapses.
  m.def[3 * 4 + 1] = 0.0;
  const SurfaceMesh collapsed(m.arrays());
  EXPECT_TRUE(collapsed.face_strain(0).has_value());
  EXPECT_FALSE(collapsed.face_strain(1).has_value());
  m.valid[0] = 7;  // any nonzero byte is true
  m.valid[1] = 0;
  m.def = {0, 0, 0, 9, 2, 0, 0, 9, 0, 1, 0, 9, 2, 1, 0, 9};
  const SurfaceMesh flagged(m.arrays());
  EXPECT_TRUE(flagged.face_strain(0).has_value());
  EXPECT_FALSE(flagged.face_strain(1).has_value());
}

TEST(SurfaceMesh, DimensionsAreCheckedInArgumentOrderBeforeExtents) {
  const Mesh m;
  SurfaceArrays a = m.arrays();
  a.valid_faces.ndim = 2;
  a.points_def.ndim = 1;
  a.faces.shape = nullptr;  // never read: the dimension error comes first
  a.faces.ndim = 3;
  EXPECT_EQ(construction_error(a), "array has incorrect number of dimensions: 3; expected 2");
  a = m.arrays();
  a.valid_faces.ndim = 2;
  a.points_def.ndim = 1;
  EXPECT_EQ(construction_error(a), "array has incorrect number of dimensions: 1; expected 2");
  a.points_def.ndim = 2;
  EXPECT_EQ(construction_error(a), "array has incorrect number of dimensions: 2; expected 1");
}

TEST(SurfaceMesh, MeshesThatWouldReadOutsideAnArrayAreRefused) {
  struct Case {
    void (*cut)(Mesh&);
    const char* message;
  };
  const Case cases[] = {
      {[](Mesh& m) { m.faces_shape = {2, 2}; }, "faces has 2 columns; expected at least 3"},
      {[](Mesh& m) { m.points_shape = {4, 2}; }, "points_ref has 2 columns; expected at least 3"},
      {[](Mesh& m) { m.def_shape = {4, 1}; }, "points_def has 1 columns; expected at least 3"},
      {[](Mesh& m) { m.def_shape = {3, 3}; }, "points_def has 3 rows; expected 4 as points_ref"},
      {[](Mesh& m) { m.valid_shape = {1}; },
       "valid_faces has length 1; expected at least 2 (the rows of faces)"},
      {[](Mesh& m) { m.faces_t[5] = 4; }, "faces[1, 2] = 4 is outside [0, 4) of points_ref"},
      // A face flagged invalid is checked too.
      {[](Mesh& m) {
         m.valid[0] = 0;
         m.faces_t[0] = -1;
       },
       "faces[0, 0] = -1 is outside [0, 4) of points_ref"},
  };
  for (const Case& c : cases) {
    Mesh m;
    c.cut(m);
    EXPECT_EQ(construction_error(m.arrays()), c.message);
  }
}

}  // namespace
}  // namespace vostrel
