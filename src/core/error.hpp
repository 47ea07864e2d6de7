// Failures of the extraction core, carried as values.
#pragma once

#include <string_view>
#include <utility>
#include <variant>

namespace mutflank {

enum class ErrorKind {
    io,       // an input/output failure with one fixed message
    internal, // a failure that is not the input's fault (bad position text, window too large)
    stopped,  // the row sink refused a row; the sink knows why
};

// Every message is a string literal, so an error costs no allocation.
struct Error {
    ErrorKind kind;
    std::string_view message;

    friend bool operator==(const Error&, const Error&) = default;
};

namespace messages {
inline constexpr std::string_view open_table = "Failed to open the VCF file";
inline constexpr std::string_view read_line = "Error reading line from the VCF file";
inline constexpr std::string_view open_reference = "Failed to open the bytes file";
inline constexpr std::string_view seek = "Error seeking to the specified position";
inline constexpr std::string_view read_window = "Error reading data from the file";
inline constexpr std::string_view capacity_overflow = "capacity overflow";
inline constexpr std::string_view position_empty =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: Empty }";
inline constexpr std::string_view position_invalid_digit =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: InvalidDigit }";
inline constexpr std::string_view position_overflow =
    "called `Result::unwrap()` on an `Err` value: ParseIntError { kind: PosOverflow }";
} // namespace messages

inline constexpr Error io_error(std::string_view message) { return {ErrorKind::io, message}; }
inline constexpr Error internal_error(std::string_view message) {
    return {ErrorKind::internal, message};
}

// A value or the error that prevented it.
template <class T> class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::move(value)) {} // NOLINT(google-explicit-constructor)
    Result(Error error) : state_(error) {}        // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] const Error& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, Error> state_;
};

} // namespace mutflank
