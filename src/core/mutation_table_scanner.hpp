// Lines of the ten-column mutation table into columnar batches, one row per record:
//
//     sample  project  ID  build  type  chromosome  position  end  REF  ALT
//
// The fields are kept as written. A line of fewer than ten fields is left out (an empty one
// skipped); a first line whose position is no number is a header and skipped. The position is
// an optional '+' and decimal digits, from 1 to 2^64 - 1: a row of type SNP or SNV with another
// position is a fault, any other row is left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_lines.hpp"
#include "text_stream.hpp"
#include "vcf_scanner.hpp" // TextColumn

namespace mutflank {

struct MutationTableSettings {
    std::size_t batch_records = 1 << 16; // rows of a batch
    std::size_t max_line_bytes = std::size_t{256} << 20;
    std::size_t max_field_bytes = std::size_t{1} << 20; // in characters, as a reader counts
    std::size_t buffer_bytes = std::size_t{1} << 20;    // text read at a time; grows for a line
};

// Why a line gives no row.
enum class TableLeftOutReason : std::uint8_t { fewer_fields, bad_position };

struct MutationTableBatch {
    TextColumn sample;
    TextColumn id;
    TextColumn build;
    TextColumn chromosome;
    TextColumn ref;
    TextColumn alt;
    std::vector<std::uint64_t> position;
    std::vector<std::uint64_t> line; // 1-based, after a byte-order mark
    struct LeftOut {
        TableLeftOutReason reason;
        std::string chromosome; // empty for lines of fewer fields
        std::uint64_t count;
    };
    std::vector<LeftOut> left_out; // in the order first met

    [[nodiscard]] std::size_t rows() const noexcept { return position.size(); }
    void clear();
};

// A line (or the stream) at fault. The command words the message from these values.
struct MutationTableFault {
    enum class Kind {
        stream,         // `stream` says why
        line_too_long,  // longer than max_line_bytes
        not_utf8,       // the line is not UTF-8 text
        field_too_long, // one of the ten fields is longer than max_field_bytes characters
        bad_position,   // a SNP or SNV row; `text`: its position as written
    };
    Kind kind;
    std::uint64_t line = 0;
    std::string text;
    StreamFault stream{};
};

class MutationTableScanner {
  public:
    MutationTableScanner(TextStream text, MutationTableSettings settings);

    // Clears `batch` and fills it with the rows of the next lines, up to batch_records rows.
    // `more` is false once the input is at its end (the batch then holds the last rows,
    // possibly none). On a fault the batch holds the rows of the lines before it.
    [[nodiscard]] std::optional<MutationTableFault> next(MutationTableBatch& batch, bool& more);

  private:
    [[nodiscard]] std::optional<MutationTableFault> record(std::string_view line,
                                                           MutationTableBatch& batch);

    TextLines lines_;
    MutationTableSettings settings_;
};

} // namespace mutflank
