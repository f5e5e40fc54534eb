#include "vostrel/core/strided_view.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "vostrel/core/thrown_message.h"

namespace vostrel {
namespace {

// An ArrayRef over `values` with the given extents and element strides.
template <typename T, std::size_t N>
struct Described {
  std::array<std::ptrdiff_t, N> shape;
  std::array<std::ptrdiff_t, N> strides;
  ArrayRef ref(const T* origin) const {
    return {origin, static_cast<int>(N), shape.data(), strides.data()};
  }
};

std::string dimension_message(const ArrayRef& a, int n) {
  return thrown_message<std::domain_error>([&] {
    if (n == 1) StridedView<double, 1>{a};
    if (n == 2) StridedView<double, 2>{a};
    if (n == 3) StridedView<double, 3>{a};
  });
}

TEST(StridedView, RowMajorColumnMajorAndReversedLayoutsReadTheSameElements) {
  // A 2 x 3 matrix m[i][j] = 10 i + j stored three ways.
  const std::vector<double> c_order{0, 1, 2, 10, 11, 12};
  const std::vector<double> f_order{0, 10, 1, 11, 2, 12};
  const std::vector<double> reversed{12, 11, 10, 2, 1, 0};
  const Described<double, 2> c{{2, 3}, {24, 8}};
  const Described<double, 2> f{{2, 3}, {8, 16}};
  const Described<double, 2> r{{2, 3}, {-24, -8}};
  const StridedView<double, 2> vc(c.ref(c_order.data()));
  const StridedView<double, 2> vf(f.ref(f_order.data()));
  const StridedView<double, 2> vr(r.ref(reversed.data() + 5));
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 3; ++j) {
      EXPECT_EQ(vc(i, j), 10 * i + j);
      EXPECT_EQ(vf(i, j), 10 * i + j);
      EXPECT_EQ(vr(i, j), 10 * i + j);
    }
  }
  EXPECT_EQ(vc.shape(0), 2);
  EXPECT_EQ(vc.shape(1), 3);
}

TEST(StridedView, SlicedThreeDimensionalArrayAndIntegerElements) {
  // Every other element of a 2 x 2 x 4 int32 block: shape (2, 2, 2).
  std::vector<std::int32_t> block(16);
  for (std::size_t k = 0; k < block.size(); ++k) block[k] = static_cast<std::int32_t>(k);
  const Described<std::int32_t, 3> d{{2, 2, 2}, {32, 16, 8}};
  const StridedView<std::int32_t, 3> v(d.ref(block.data()));
  EXPECT_EQ(v(0, 0, 1), 2);
  EXPECT_EQ(v(1, 1, 1), 14);
  EXPECT_EQ(v(1, 0, 0), 8);
}

TEST(StridedView, UnalignedElementsAreReadWhole) {
  // float64 values one byte into a byte buffer, as a packed record field lies.
  std::array<unsigned char, 1 + 3 * sizeof(double)> bytes{};
  const std::array<double, 3> values{1.5, -2.25, 1e300};
  std::memcpy(bytes.data() + 1, values.data(), sizeof values);
  const std::array<std::ptrdiff_t, 1> shape{3};
  const std::array<std::ptrdiff_t, 1> strides{8};
  const StridedView<double, 1> v(ArrayRef{bytes.data() + 1, 1, shape.data(), strides.data()});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(v(i), values[static_cast<std::size_t>(i)]);
}

TEST(StridedView, AnyNonzeroByteOfABoolArrayIsTrue) {
  const std::array<unsigned char, 4> bytes{0, 1, 2, 255};
  const std::array<std::ptrdiff_t, 1> shape{4};
  const std::array<std::ptrdiff_t, 1> strides{1};
  const StridedView<bool, 1> v(ArrayRef{bytes.data(), 1, shape.data(), strides.data()});
  EXPECT_FALSE(v(0));
  EXPECT_TRUE(v(1));
  EXPECT_TRUE(v(2));
  EXPECT_TRUE(v(3));
}

TEST(StridedView, WrongNumberOfDimensionsIsADomainErrorWithTheCounts) {
  const std::array<std::ptrdiff_t, 4> shape{1, 1, 1, 1};
  const std::array<std::ptrdiff_t, 4> strides{8, 8, 8, 8};
  const double value = 0.0;
  const ArrayRef two{&value, 2, shape.data(), strides.data()};
  EXPECT_EQ(dimension_message(two, 3), "array has incorrect number of dimensions: 2; expected 3");
  EXPECT_EQ(dimension_message(two, 1), "array has incorrect number of dimensions: 2; expected 1");
  EXPECT_EQ(dimension_message(two, 2), "");
  // A zero-dimensional array has no extents to read: refused before them.
  const ArrayRef scalar{&value, 0, nullptr, nullptr};
  EXPECT_EQ(dimension_message(scalar, 1),
            "array has incorrect number of dimensions: 0; expected 1");
  const ArrayRef four{&value, 4, shape.data(), strides.data()};
  EXPECT_EQ(dimension_message(four, 3), "array has incorrect number of dimensions: 4; expected 3");
}

}  // namespace
}  // namespace vostrel
