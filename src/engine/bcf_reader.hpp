// BCF records read in process by htslib into the VCF scanner's batches (VcfBatch), so that the
// command treats a BCF as it treats the same records written as VCF text. No Python here; it
// lives beside the binding because only this extension links htslib (the public module and
// the core do not).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vcf_scanner.hpp"

struct htsFile;
struct bcf_hdr_t;
struct bcf1_t;

namespace mutflank::engine {

struct BcfSettings {
    bool by_genotype = false;          // carriers from GT; otherwise every allele has sample 0
    std::vector<std::uint32_t> taken;  // sample columns read, in order
    std::vector<std::uint8_t> kept;    // as VcfSettings::kept
    bool pass_only = false;            // leave out records whose FILTER is not PASS or '.'
    std::size_t batch_records = 1 << 16;
    std::size_t max_field_bytes = std::size_t{1} << 20;
};

class BcfReader {
  public:
    // Why a BCF cannot be opened.
    enum class OpenFault {
        descriptor, // the descriptor could not be duplicated or placed (`code`: errno)
        not_bcf,    // htslib does not read it as BCF
        header,     // its header cannot be read
    };

    // Opens the BCF on a duplicate of `fd` (the caller keeps its own): from byte `start` on
    // when `start` >= 0 (a regular file), else from where the descriptor stands (a pipe), and
    // reads its header. htslib is handed the descriptor, never a name. nullptr on a fault,
    // with `fault` (and `code`) set.
    [[nodiscard]] static std::unique_ptr<BcfReader> open(int fd, std::int64_t start,
                                                         OpenFault& fault, int& code);
    ~BcfReader();
    BcfReader(const BcfReader&) = delete;
    BcfReader& operator=(const BcfReader&) = delete;

    // The header as VCF text (##lines and the #CHROM line).
    [[nodiscard]] std::string header_text() const;
    [[nodiscard]] std::size_t samples() const noexcept;

    void configure(BcfSettings settings) { settings_ = std::move(settings); }

    // As VcfScanner::next: fills `batch` with the rows of the next records; `more` is false at
    // the end. Rows and faults carry the record's number (1-based) as their line.
    [[nodiscard]] std::optional<VcfFault> next(VcfBatch& batch, bool& more);
    [[nodiscard]] bool at_end() const noexcept { return ended_; }

  private:
    BcfReader() = default;
    [[nodiscard]] std::optional<VcfFault> record(VcfBatch& batch);
    // The phase set of a phased genotype of sample column `column` (as the scanner's).
    [[nodiscard]] std::int64_t phase_set(std::uint32_t column);
    // The genotype of `column` as bcftools writes it.
    [[nodiscard]] std::string genotype_text(const std::int32_t* alleles, int ploidy) const;

    struct FileClose {
        void operator()(htsFile* file) const noexcept;
    };
    struct HeaderFree {
        void operator()(bcf_hdr_t* header) const noexcept;
    };
    struct RecordFree {
        void operator()(bcf1_t* record) const noexcept;
    };
    // A buffer that htslib's bcf_get_format_* functions grow (realloc); freed by its owner.
    template <class T> struct HtsBuffer {
        T* data = nullptr;
        int size = 0;
        HtsBuffer() = default;
        HtsBuffer(const HtsBuffer&) = delete;
        HtsBuffer& operator=(const HtsBuffer&) = delete;
        ~HtsBuffer();
    };

    std::unique_ptr<htsFile, FileClose> file_;
    std::unique_ptr<bcf_hdr_t, HeaderFree> header_;
    std::unique_ptr<bcf1_t, RecordFree> record_;
    BcfSettings settings_;
    VcfRows rows_;
    std::uint64_t number_ = 0; // of the last record read
    bool ended_ = false;
    std::vector<CarriedAllele> held_;
    std::string filter_;
    std::string alts_;
    HtsBuffer<std::int32_t> genotypes_;
    HtsBuffer<std::int32_t> phase_numbers_;
    HtsBuffer<char*> phase_texts_; // one block of texts: data[0] is freed with data
};

} // namespace mutflank::engine
