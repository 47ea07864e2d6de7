// The record lines of a MAF into columnar batches, one row per record. The header is read by
// the caller, which passes the places of the columns it names.
//
// Fields are stripped of the blanks around them (those Python's str.strip drops); alleles are
// upper-cased (ASCII letters). The alternate allele is Tumor_Seq_Allele2, or Tumor_Seq_Allele1
// when Allele2 is the reference allele. A row whose alleles hold text beyond ASCII is handed
// out with its three alleles as written (stripped) and `deferred` set: the caller upper-cases
// them as its language does and applies the allele rules and the build check to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "text_lines.hpp"
#include "text_stream.hpp"
#include "vcf_scanner.hpp" // TextColumn

namespace mutflank {

struct MafSettings {
    std::uint64_t header_lines = 0; // lines up to the header line, which the caller read
    // Chromosome, Start_Position, Reference_Allele, Tumor_Seq_Allele1, Tumor_Seq_Allele2,
    // Tumor_Sample_Barcode (0-based fields).
    std::array<std::uint32_t, 6> at{};
    std::optional<std::uint32_t> build_at;  // NCBI_Build, when read
    std::optional<std::uint32_t> filter_at; // FILTER, where the MAF has it
    std::size_t width = 0;                  // fields a line must have
    bool pass_only = false; // leave out records whose FILTER is not PASS, '.' or empty
    bool choose = false;    // keep only the rows of `samples`
    std::unordered_set<std::string> samples;
    std::unordered_set<std::string> exclude; // passed over, and noted as held
    std::size_t batch_records = 1 << 16;
    std::size_t max_line_bytes = std::size_t{256} << 20;
    std::size_t max_field_bytes = std::size_t{1} << 20; // in characters
    std::size_t buffer_bytes = std::size_t{1} << 20;
};

// Why a record gives no row.
enum class MafLeftOutReason : std::uint8_t { not_pass, not_variant, symbolic };

struct MafBatch {
    TextColumn sample;
    TextColumn chromosome;
    TextColumn build; // empty when not read; as written (stripped) for a deferred row
    TextColumn ref;
    TextColumn alt;           // Tumor_Seq_Allele1 for a deferred row
    TextColumn allele2;       // Tumor_Seq_Allele2 for a deferred row, else empty
    TextColumn filter;        // empty without a FILTER column
    TextColumn build_written; // NCBI_Build before stripping, for a deferred row's message
    std::vector<std::uint64_t> position;
    std::vector<std::uint64_t> line;
    std::vector<std::uint8_t> deferred;
    struct LeftOut {
        MafLeftOutReason reason;
        std::string chromosome;
        std::uint64_t count;
    };
    std::vector<LeftOut> left_out; // in the order first met
    std::vector<std::string> held; // names of `exclude` passed over, once each

    [[nodiscard]] std::size_t rows() const noexcept { return position.size(); }
    void clear();
};

// A line (or the stream) at fault. The command words the message from these values.
struct MafFault {
    enum class Kind {
        stream,         // `stream` says why
        line_too_long,  // longer than max_line_bytes
        not_utf8,       // the line is not UTF-8 text
        field_count,    // `count` fields, fewer than `width`
        empty_field,    // `count`: 0 Tumor_Sample_Barcode, 1 Chromosome, 2 Reference_Allele
        field_too_long, // a field read is longer than max_field_bytes characters
        bad_position,   // `text`: Start_Position, stripped
        bad_build,      // `text`: NCBI_Build as written
    };
    Kind kind;
    std::uint64_t line = 0;
    std::uint64_t count = 0;
    std::string text;
    StreamFault stream{};
};

class MafScanner {
  public:
    MafScanner(TextStream text, MafSettings settings);

    // Clears `batch` and fills it with the rows of the next lines, up to batch_records rows.
    // `more` is false once the input is at its end. On a fault the batch holds the rows of the
    // lines before it.
    [[nodiscard]] std::optional<MafFault> next(MafBatch& batch, bool& more);

  private:
    [[nodiscard]] std::optional<MafFault> record(std::string_view line, MafBatch& batch);

    TextLines lines_;
    MafSettings settings_;
    std::vector<std::string_view> fields_;
    std::string ref_;
    std::string allele1_;
    std::string allele2_;
};

// `text` without the blanks around it that Python's str.strip drops (ASCII and Unicode
// white space), for valid UTF-8.
[[nodiscard]] std::string_view strip_blanks(std::string_view text) noexcept;

} // namespace mutflank
