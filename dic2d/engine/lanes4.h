#pragma once
// Four doubles operated on lane by lane: the four-lane counterparts of
// lanes.h, for the kernels compiled for AVX2 (lane_dispatch.h).
//
// As with two lanes, each lane is the IEEE operation its scalar form would
// be, in the same order, so four-lane kernels give the bits of the two-lane
// ones. Four-lane values are passed by reference or through out-parameters
// (returning one by value would make the calling convention depend on the
// instruction set), and lanes are read through memory rather than by
// subscript (GCC lowers a variable subscript of a 32-byte vector wrongly in
// an AVX2 function of a translation unit compiled without AVX).

#include <cstdint>
#include <cstring>

#include "dic2d/engine/lanes.h"

namespace dic2d {

using Double4 = double __attribute__((vector_size(32)));
using Int4 = std::int32_t __attribute__((vector_size(16)));
using Mask4 = std::int64_t __attribute__((vector_size(32)));

__attribute__((always_inline)) inline void load_quad(const double* p, Double4& out) {
  std::memcpy(&out, p, sizeof out);
}

__attribute__((always_inline)) inline void broadcast4(double value, Double4& out) {
  out = Double4{value, value, value, value};
}

// (lo[0], lo[1], hi[0], hi[1]).
__attribute__((always_inline)) inline void join_pairs(const Double2& lo, const Double2& hi,
                                                      Double4& out) {
  out = __builtin_shufflevector(lo, hi, 0, 1, 2, 3);
}

__attribute__((always_inline)) inline void lanes_of(const Double4& v, double (&out)[4]) {
  std::memcpy(out, &v, sizeof out);
}

__attribute__((always_inline)) inline void lanes_of(const Int4& v, std::int32_t (&out)[4]) {
  std::memcpy(out, &v, sizeof out);
}

__attribute__((always_inline)) inline bool all_lanes(const Mask4& m) {
  std::int64_t lanes[4];
  std::memcpy(lanes, &m, sizeof lanes);
  return lanes[0] != 0 && lanes[1] != 0 && lanes[2] != 0 && lanes[3] != 0;
}

// bilinear_combine (interpolation.h) on four lanes.
__attribute__((always_inline)) inline void bilinear_combine4(const Double4& p00, const Double4& p10,
                                                             const Double4& p01, const Double4& p11,
                                                             const Double4& a, const Double4& one_a,
                                                             const Double4& b, const Double4& one_b,
                                                             Double4& out) {
  out = (((one_a * one_b) * p00 + (one_b * a) * p10) + (one_a * b) * p01) + (a * b) * p11;
}

// The formula at four base cells q0..q3 of an image of height h.
__attribute__((always_inline)) inline void bilinear_quad(const double* q0, const double* q1,
                                                         const double* q2, const double* q3,
                                                         std::int64_t h, const Double4& a,
                                                         const Double4& one_a, const Double4& b,
                                                         const Double4& one_b, Double4& out) {
  const Double4 p00 = {q0[0], q1[0], q2[0], q3[0]};
  const Double4 p10 = {q0[h], q1[h], q2[h], q3[h]};
  const Double4 p01 = {q0[1], q1[1], q2[1], q3[1]};
  const Double4 p11 = {q0[h + 1], q1[h + 1], q2[h + 1], q3[h + 1]};
  bilinear_combine4(p00, p10, p01, p11, a, one_a, b, one_b, out);
}

// The formula at four consecutive rows of one column, base cells
// cells[0..3] below `column`: read as contiguous rows when the cells are
// consecutive, else one by one; the same samples either way.
__attribute__((always_inline)) inline void bilinear_column_quad(
    const double* column, const std::int64_t* cells, std::int64_t h, const Double4& a,
    const Double4& one_a, const Double4& b, const Double4& one_b, Double4& out) {
  if (cells[1] == cells[0] + 1 && cells[2] == cells[0] + 2 && cells[3] == cells[0] + 3) {
    const double* q = column + cells[0];
    Double4 p00, p10, p01, p11;
    load_quad(q, p00);
    load_quad(q + h, p10);
    load_quad(q + 1, p01);
    load_quad(q + h + 1, p11);
    bilinear_combine4(p00, p10, p01, p11, a, one_a, b, one_b, out);
  } else {
    bilinear_quad(column + cells[0], column + cells[1], column + cells[2], column + cells[3], h, a,
                  one_a, b, one_b, out);
  }
}

}  // namespace dic2d
