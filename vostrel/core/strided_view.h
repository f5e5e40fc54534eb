#pragma once
// Arrays handed in by the caller, read in place through their own strides.
//
// An ArrayRef describes memory the caller owns for the length of one call:
// the address of element (0, ..., 0), the number of dimensions, and per
// dimension the extent and the distance in bytes between neighbouring
// elements (any sign: slices, transposes and reversed arrays are read as
// they lie). A StridedView fixes the element type and the number of
// dimensions; making one checks that number and nothing else, extents are
// the caller's to check before indexing.
//
// Element (i, j, k) lies at data + i·stride0 + j·stride1 + k·stride2 bytes.
// Elements are copied out byte-wise, so an unaligned array is read soundly. A
// bool element is one byte, and any nonzero byte is true.

#include <array>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace vostrel {

struct ArrayRef {
  const void* data = nullptr;
  int ndim = 0;
  const std::ptrdiff_t* shape = nullptr;    // ndim extents
  const std::ptrdiff_t* strides = nullptr;  // ndim byte strides
};

// The message of an array whose number of dimensions is not the one a view
// needs; thrown as std::domain_error, which Python sees as ValueError.
[[noreturn]] inline void throw_dimension_mismatch(int actual, int expected) {
  throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(actual) +
                          "; expected " + std::to_string(expected));
}

template <typename T, int N>
class StridedView {
  static_assert(std::is_arithmetic_v<T>, "views read numbers and flags");
  static_assert(N >= 1 && N <= 3, "views of one to three dimensions");

 public:
  explicit StridedView(const ArrayRef& array) : data_(static_cast<const char*>(array.data)) {
    if (array.ndim != N) throw_dimension_mismatch(array.ndim, N);
    for (int d = 0; d < N; ++d) {
      shape_[static_cast<std::size_t>(d)] = array.shape[d];
      strides_[static_cast<std::size_t>(d)] = array.strides[d];
    }
  }

  std::ptrdiff_t shape(int d) const { return shape_[static_cast<std::size_t>(d)]; }

  template <typename... Index>
  const void* address(Index... index) const {
    static_assert(sizeof...(Index) == N, "one index per dimension");
    const std::array<std::ptrdiff_t, N> at{static_cast<std::ptrdiff_t>(index)...};
    std::ptrdiff_t offset = 0;
    for (std::size_t d = 0; d < static_cast<std::size_t>(N); ++d) offset += at[d] * strides_[d];
    return data_ + offset;
  }

  template <typename... Index>
  T operator()(Index... index) const {
    const void* p = address(index...);
    if constexpr (std::is_same_v<T, bool>) {
      unsigned char byte;
      std::memcpy(&byte, p, 1);
      return byte != 0;
    } else {
      T value;
      std::memcpy(&value, p, sizeof value);
      return value;
    }
  }

 private:
  const char* data_;
  std::array<std::ptrdiff_t, N> shape_{};
  std::array<std::ptrdiff_t, N> strides_{};
};

}  // namespace vostrel
