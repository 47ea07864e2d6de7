// The texts of a call's rows, made into Python str objects as the rows arrive, and the
// result array that takes them over without copying.
#pragma once

#include <cstddef>
#include <string_view>

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace mutflank::py {

// A growable buffer of owned str references, in the order they were pushed.
class RowTexts {
  public:
    RowTexts() = default;
    RowTexts(RowTexts&& other) noexcept;
    RowTexts& operator=(RowTexts&&) = delete;
    RowTexts(const RowTexts&) = delete;
    RowTexts& operator=(const RowTexts&) = delete;
    ~RowTexts(); // releases every reference still held

    // Makes a str of the UTF-8 `text` (pure ASCII when `ascii` is true) and appends it.
    // Returns false with MemoryError set when that is not possible.
    [[nodiscard]] bool push(std::string_view text, bool ascii) noexcept;

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

  private:
    friend PyObject* into_array(RowTexts texts, std::size_t per_row,
                                const numpy::Api& numpy) noexcept;

    // Gives back the memory beyond size(); the buffer does not move when that fails.
    void shrink_to_fit() noexcept;

    PyObject** items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The result array: dtype object, shape (size / per_row, per_row), or (0, 0) when there is
// no text. The array's elements are the pushed str objects themselves, in push order; the
// array becomes their owner. Returns a new reference, or nullptr with an exception set
// (the texts are released then).
PyObject* into_array(RowTexts texts, std::size_t per_row, const numpy::Api& numpy) noexcept;

} // namespace mutflank::py
