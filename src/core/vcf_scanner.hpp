// VCF record lines into columnar batches: one row per alternate allele that is kept, with the
// samples that carry it. The header is read by the caller, which passes what it tells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "byte_buffer.hpp"
#include "text_lines.hpp"
#include "text_stream.hpp"

namespace mutflank {

struct VcfSettings {
    std::uint64_t header_lines = 0; // lines before the first record (the caller read them)
    std::size_t width = 0;          // fields of every record (9 + samples); 0: 8 or more
    bool by_genotype = false;       // carriers from GT; otherwise every allele has sample 0
    std::vector<std::uint32_t> taken; // sample columns (0-based after FORMAT) read, in order
    // Whether the records of a sample are kept, by its index into `taken` (or 0, the one sample
    // of a VCF without genotypes); empty: every sample's. Alleles carried only by samples not
    // kept are passed over (not counted as left out), and so is every allele of an input none
    // of whose samples is kept.
    std::vector<std::uint8_t> kept;
    bool pass_only = false;         // leave out records whose FILTER is not PASS or '.'
    std::size_t batch_records = 1 << 16; // carriers in a batch (exceeded by one line at most)
    std::size_t max_line_bytes = std::size_t{256} << 20;
    std::size_t max_field_bytes = std::size_t{1} << 20;
    std::size_t buffer_bytes = std::size_t{1} << 20; // text read at a time; grows for a long line
    bool texts = true; // FILTER and ID kept in the batch (checked as text either way)
};

// Why a record gives no row. A record is one kept sample's allele, so every reason counts
// one per kept sample that carries the allele, except no_carrier: once for an allele that no
// sample carries, kept or not (in an input that has a kept sample).
enum class LeftOutReason : std::uint8_t { not_pass, not_variant, symbolic, no_carrier };

// Texts of one column: row i is bytes[offsets[i] .. offsets[i + 1]).
struct TextColumn {
    std::vector<std::uint64_t> offsets{0};
    std::string bytes;

    void add(std::string_view text) {
        bytes.append(text);
        offsets.push_back(bytes.size());
    }
    [[nodiscard]] std::string_view at(std::size_t i) const {
        return std::string_view(bytes).substr(offsets[i], offsets[i + 1] - offsets[i]);
    }
    void clear() {
        offsets.assign(1, 0);
        bytes.clear();
    }
};

struct VcfBatch {
    std::vector<std::string> names;          // chromosomes named in this batch
    std::vector<std::uint64_t> line;         // 1-based line of the input
    std::vector<std::uint32_t> chromosome;   // index into names
    std::vector<std::uint64_t> position;
    TextColumn ref;                          // ASCII letters upper-cased
    TextColumn alt;                          // one alternate allele, ASCII upper-cased
    TextColumn filter;                       // empty unless `texts`
    TextColumn id;                           // empty unless `texts`
    bool texts = true;                       // FILTER and ID kept
    std::vector<std::uint8_t> passed;        // FILTER is PASS or '.'
    // Carriers of row i: carrier_*[carrier_start[i] .. carrier_start[i + 1]).
    std::vector<std::uint64_t> carrier_start{0};
    std::vector<std::uint32_t> carrier_sample; // index into VcfSettings::taken
    std::vector<std::uint8_t> carrier_copies;  // bit k: the genotype's k-th allele is it
    // The phase of a phased diploid genotype (a|b of two numbers or '.'): the bits of the
    // haplotypes that carry the allele (1 the first, 2 the second) | (PS + 1) << 2 where the
    // sample's field gives a PS of digits (0 without one); 0 for any other genotype, or a PS
    // that is no number.
    std::vector<std::int64_t> carrier_phase;
    struct LeftOut {
        LeftOutReason reason;
        std::uint32_t chromosome;
        std::uint64_t count;
    };
    std::vector<LeftOut> left_out;

    [[nodiscard]] std::size_t rows() const noexcept { return line.size(); }
    [[nodiscard]] std::size_t records() const noexcept { return carrier_sample.size(); }
    void clear();
};

// A record (or the stream) at fault. The command words the message from these values.
struct VcfFault {
    enum class Kind {
        stream,          // `stream` says why
        line_too_long,   // longer than max_line_bytes
        too_few_fields,  // `count` fields, fewer than eight
        field_count,     // `count` fields, the header names `limit`
        bad_position,    // `text`: POS as written
        empty_chromosome,
        field_too_long,  // CHROM, REF, ALT or FILTER longer than max_field_bytes
        not_utf8,
        not_a_genotype,  // `text`: the GT value; `sample`: its column (0-based after FORMAT)
        allele_beyond,   // the same, `allele`: the largest allele named; `count`: ALT alleles
        unreadable,      // a BCF record that htslib cannot read (`line`: its number)
    };
    Kind kind;
    std::uint64_t line = 0;
    std::uint64_t count = 0;
    std::uint64_t limit = 0;
    std::string text;
    std::string allele;
    std::uint32_t sample = 0;
    StreamFault stream{};
};

// An allele that a sample's genotype names.
struct CarriedAllele {
    std::uint32_t sample;   // index into VcfSettings::taken
    std::uint64_t allele;   // 1-based ALT number; 0: beyond any ALT count that fits
    std::uint8_t slot;      // its place in the genotype (255 for any beyond)
    std::int64_t phase_set; // -1: not a phased diploid genotype; else as carrier_phase >> 2
};

// What VcfRows::add needs to know of the reading besides the record.
struct VcfRowRules {
    bool by_genotype = false; // carriers from `held`; otherwise every allele has sample 0
    bool pass_only = false;   // leave out records whose FILTER is not PASS or '.'
    const std::vector<std::uint8_t>* kept = nullptr; // VcfSettings::kept
    bool texts = true; // FILTER and ID kept in the batch
};

// Fills a VcfBatch record by record, the same for every reader of VCF records (the text
// scanner below, and the engine's BCF reader): chromosome names and left-out counts gathered
// per batch, one row per kept alternate allele with the kept samples that carry it.
class VcfRows {
  public:
    // Clears `batch` for a new batch.
    void start(VcfBatch& batch);
    [[nodiscard]] std::uint32_t name_index(std::string_view name, VcfBatch& batch);
    void leave_out(LeftOutReason reason, std::uint32_t chromosome, std::uint64_t count,
                   VcfBatch& batch);
    // Adds the rows of one record, checked already: `alts` is the ALT field (alleles
    // separated by commas), `held` the alleles its samples' genotypes name.
    void add(VcfBatch& batch, std::uint64_t number, std::string_view chrom,
             std::uint64_t position, std::string_view ref, std::string_view alts,
             std::string_view filter, std::string_view ident, bool passed,
             const VcfRowRules& rules, const std::vector<CarriedAllele>& held);
    // Whether a batch of `lines` records is full (records, bytes or names).
    [[nodiscard]] static bool full(const VcfBatch& batch, std::size_t lines,
                                   std::size_t batch_records) noexcept;

  private:
    std::string upper_ref_;
    std::string upper_alt_;
    std::unordered_map<std::string, std::uint32_t> name_indexes_;
    std::uint32_t last_name_ = UINT32_MAX;
    std::unordered_map<std::uint64_t, std::size_t> left_out_indexes_;
};

class VcfScanner {
  public:
    VcfScanner(TextStream text, VcfSettings settings);

    // Clears `batch` and fills it with the rows of the next lines, up to batch_records
    // carriers (or a bound on the batch's bytes). `more` is false once the input is at its
    // end (the batch then holds the last rows, possibly none). On a fault the batch is
    // incomplete and must be dropped.
    [[nodiscard]] std::optional<VcfFault> next(VcfBatch& batch, bool& more);

    // Whether the whole text has been read (after a fault: the line at fault was the last).
    [[nodiscard]] bool at_end() const noexcept { return lines_.at_end(); }

  private:
    [[nodiscard]] std::optional<VcfFault> record(std::string_view line, VcfBatch& batch);

    TextLines lines_;
    VcfSettings settings_;
    std::vector<std::string_view> fields_;
    std::vector<CarriedAllele> held_;
    VcfRows rows_;
};

} // namespace mutflank
