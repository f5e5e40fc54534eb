#pragma once
// Result tables of the module's functions. A function's results are one list
// of columns, each a dict key and what a record puts in its row; the table
// makes one new C-contiguous, writeable NumPy array per column at its final
// size, writes record after record into the rows, and hands the arrays to a
// new dict in column order.
//
// The type a column takes from a record fixes the dtype and shape:
//   a number or bool                        (N)
//   std::array<T, 2>, std::array<T, 3>      (N, 2), (N, 3)
//   std::array<T, 9>, a row-major 3 × 3     (N, 3, 3)

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace vostrel::binding {

namespace table_detail {

template <typename V>
struct Layout {
  static_assert(std::is_arithmetic_v<V>, "a column holds numbers, flags or fixed-size arrays");
  using Element = V;
  static constexpr std::size_t kSize = 1;
  static std::vector<pybind11::ssize_t> extents() { return {}; }
};

template <typename T, std::size_t W>
struct Layout<std::array<T, W>> {
  static_assert(W == 2 || W == 3 || W == 9, "rows of 2, 3 or 3 × 3 values");
  using Element = T;
  static constexpr std::size_t kSize = W;
  static std::vector<pybind11::ssize_t> extents() {
    if (W == 9) return {3, 3};
    return {static_cast<pybind11::ssize_t>(W)};
  }
};

template <typename Record, typename Get>
struct Slot {
  using Value = std::decay_t<std::invoke_result_t<const Get&, const Record&>>;
  using L = Layout<Value>;
  using Element = typename L::Element;

  Slot(pybind11::ssize_t rows, const char* key_in, Get get_in)
      : key(key_in), get(std::move(get_in)) {
    std::vector<pybind11::ssize_t> shape{rows};
    for (const pybind11::ssize_t e : L::extents()) shape.push_back(e);
    pybind11::array_t<Element> made(shape);
    data = made.mutable_data();
    array = std::move(made);
  }

  void write(pybind11::ssize_t row, const Record& record) const {
    const Value value = std::invoke(get, record);
    Element* const out = data + static_cast<std::size_t>(row) * L::kSize;
    if constexpr (L::kSize == 1) {
      *out = value;
    } else {
      for (std::size_t j = 0; j < L::kSize; ++j) out[j] = value[j];
    }
  }

  const char* key;
  Get get;
  pybind11::array array;
  Element* data = nullptr;
};

}  // namespace table_detail

// A dict key and what a record puts in its row: a pointer to a data member
// of the record, or a callable taking the record.
template <typename Get>
struct Column {
  const char* key;
  Get get;
};

template <typename Get>
Column<Get> column(const char* key, Get get) {
  return {key, std::move(get)};
}

template <typename Record, typename... Gets>
class OutputTable {
 public:
  // Creates the arrays, N = rows, in column order.
  OutputTable(pybind11::ssize_t rows, Column<Gets>... columns)
      : slots_{table_detail::Slot<Record, Gets>(rows, columns.key, std::move(columns.get))...} {}

  void write(pybind11::ssize_t row, const Record& record) const {
    std::apply([&](const auto&... slot) { (slot.write(row, record), ...); }, slots_);
  }

  pybind11::dict dict() && {
    pybind11::dict result;
    std::apply([&](auto&... slot) { ((result[slot.key] = std::move(slot.array)), ...); }, slots_);
    return result;
  }

 private:
  std::tuple<table_detail::Slot<Record, Gets>...> slots_;
};

template <typename Record, typename... Gets>
OutputTable<Record, Gets...> output_table(pybind11::ssize_t rows, Column<Gets>... columns) {
  return OutputTable<Record, Gets...>(rows, std::move(columns)...);
}

// The table of a list of records, one row each, in list order.
template <typename Record, typename... Gets>
pybind11::dict table_of(const std::vector<Record>& records, Column<Gets>... columns) {
  auto table =
      output_table<Record>(static_cast<pybind11::ssize_t>(records.size()), std::move(columns)...);
  for (std::size_t k = 0; k < records.size(); ++k) {
    table.write(static_cast<pybind11::ssize_t>(k), records[k]);
  }
  return std::move(table).dict();
}

}  // namespace vostrel::binding
