#pragma once
// Eigen-decomposition of a symmetric 3x3 tensor by classical Jacobi rotations,
// and the choice of the two principal values that lie in a surface's plane.
//
// Matrices are nine doubles in row-major order: element [r][c] at index 3r + c.

#include <array>
#include <utility>

namespace vostrel {

struct SymmetricEigen3 {
  // Eigenvalues in ascending order.
  std::array<double, 3> values;
  // Row-major 3x3; column k is the unit eigenvector of values[k]
  // (element [r][k] at index 3r + k is component r of eigenvector k).
  std::array<double, 9> vectors;
};

// Each rotation annihilates the largest upper off-diagonal element (the earlier
// of (0,1), (0,2), (1,2) on ties); stops once that element is below 1e-14 in
// magnitude or after 64 rotations. Never fails: without convergence the current
// diagonal is returned. Equal eigenvalues keep their diagonal index order. The
// input is meant to be symmetric, but all nine elements are read and updated.
SymmetricEigen3 decompose_symmetric_3x3(const std::array<double, 9>& matrix);

// The eigenvalues of decompose_symmetric_3x3, bit for bit, without the
// eigenvectors.
std::array<double, 3> symmetric_eigenvalues_3x3(const std::array<double, 9>& matrix);

// The two eigenvalues left after removing the eigenvector most aligned with the
// unit normal (largest |v_k . normal|, lower index on ties), smaller first.
std::pair<double, double> select_in_plane_principal_values(const SymmetricEigen3& eigen,
                                                           const std::array<double, 3>& normal);

}  // namespace vostrel
