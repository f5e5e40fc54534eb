#pragma once
// Kinematics of one surface triangle between a reference and a deformed state:
// a constant 3D deformation gradient (in-plane part from the edges, normal
// mapped onto normal) and the strain measures derived from it.
//
// Vectors are (x, y, z); 3x3 tensors are row-major (element [r][c] at index
// 3r + c), with F_rc = dx_r / dX_c. Lengths are in input units, "area" in
// squared input units, everything else is dimensionless.

#include <array>
#include <optional>

namespace vostrel {

struct TriangleVertices {
  // Vertex positions a, b, c; the triangle's orientation follows a -> b -> c.
  std::array<std::array<double, 3>, 3> positions;
};

struct TriangleStrain {
  std::array<double, 9> deformation_gradient;  // F
  std::array<double, 9> right_cauchy_green;    // C = F^T F
  std::array<double, 9> green_lagrange;        // E = (C - I) / 2
  std::array<double, 9> euler_almansi;         // e = (I - b^-1) / 2, b = F F^T
  std::array<double, 3> deformed_normal;       // unit normal of the deformed triangle
  double jacobian;                             // det F, the deformed / reference area ratio
  double green_lagrange_norm;                  // Frobenius norms
  double euler_almansi_norm;
  double green_lagrange_principal_min;  // in-plane principal values, min <= max
  double green_lagrange_principal_max;
  double euler_almansi_principal_min;
  double euler_almansi_principal_max;
  double green_lagrange_shear_max;  // (max - min) / 2
  double euler_almansi_shear_max;
  double green_lagrange_equivalent;  // von Mises: sqrt(2/3 dev : dev)
  double euler_almansi_equivalent;
  double reference_area;
  double stretch_min;  // in-plane principal stretches, min <= max
  double stretch_max;
};

// Returns nothing for a triangle that cannot be evaluated: a non-finite
// coordinate, a reference or deformed normal of length <= 1e-18, or
// |det(F F^T)| <= 1e-18 (area ratio about 1e-9 or less) or non-finite.
std::optional<TriangleStrain> compute_triangle_strain(const TriangleVertices& reference,
                                                      const TriangleVertices& deformed);

}  // namespace vostrel
