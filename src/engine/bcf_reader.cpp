#include "bcf_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <utility>

#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include "unique_fd.hpp"
#include "utf8.hpp"

namespace mutflank::engine {
namespace {

constexpr std::int64_t unphased = -1;

// htslib's messages kept off standard error while it works for us (the command words its
// own); the level before is restored on leaving.
class QuietHtslib {
  public:
    QuietHtslib() : before_(hts_get_log_level()) { hts_set_log_level(HTS_LOG_OFF); }
    ~QuietHtslib() { hts_set_log_level(before_); }
    QuietHtslib(const QuietHtslib&) = delete;
    QuietHtslib& operator=(const QuietHtslib&) = delete;

  private:
    htsLogLevel before_;
};

struct HfileClose {
    void operator()(hFILE* file) const noexcept { hclose_abruptly(file); }
};

bool valid_text(std::string_view text) { return check_utf8(text) != Utf8::invalid; }

VcfFault fault_of(VcfFault::Kind kind, std::uint64_t number) {
    VcfFault fault{};
    fault.kind = kind;
    fault.line = number;
    return fault;
}

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

void BcfReader::FileClose::operator()(htsFile* file) const noexcept { hts_close(file); }
void BcfReader::HeaderFree::operator()(bcf_hdr_t* header) const noexcept {
    bcf_hdr_destroy(header);
}
void BcfReader::RecordFree::operator()(bcf1_t* record) const noexcept { bcf_destroy(record); }
template <class T> BcfReader::HtsBuffer<T>::~HtsBuffer() {
    if constexpr (std::is_same_v<T, char*>) {
        if (data != nullptr)
            std::free(data[0]);
    }
    std::free(data);
}

BcfReader::~BcfReader() = default;

std::unique_ptr<BcfReader> BcfReader::open(int fd, std::int64_t start, OpenFault& fault,
                                           int& code) {
    const QuietHtslib quiet;
    code = 0;
    UniqueFd copy{::fcntl(fd, F_DUPFD_CLOEXEC, 0)};
    if (!copy.valid() || (start >= 0 && ::lseek(copy.get(), start, SEEK_SET) < 0)) {
        fault = OpenFault::descriptor;
        code = errno;
        return nullptr;
    }
    std::unique_ptr<hFILE, HfileClose> stream{hdopen(copy.get(), "r")};
    if (!stream) {
        fault = OpenFault::descriptor;
        code = errno;
        return nullptr;
    }
    static_cast<void>(copy.release()); // the hFILE closes it
    // The name is only for htslib's own messages, which are silenced: never the user's.
    std::unique_ptr<htsFile, FileClose> file{hts_hopen(stream.get(), "input", "r")};
    if (!file) {
        fault = OpenFault::not_bcf;
        return nullptr;
    }
    stream.release(); // the htsFile closes it
    if (hts_get_format(file.get())->format != bcf) {
        fault = OpenFault::not_bcf;
        return nullptr;
    }
    std::unique_ptr<bcf_hdr_t, HeaderFree> header{bcf_hdr_read(file.get())};
    std::unique_ptr<bcf1_t, RecordFree> record{bcf_init()};
    if (!header || !record) {
        fault = OpenFault::header;
        return nullptr;
    }
    std::unique_ptr<BcfReader> reader{new BcfReader()};
    reader->file_ = std::move(file);
    reader->header_ = std::move(header);
    reader->record_ = std::move(record);
    return reader;
}

std::string BcfReader::header_text() const {
    kstring_t text = KS_INITIALIZE;
    std::string out;
    if (bcf_hdr_format(header_.get(), 0, &text) == 0 && text.s != nullptr)
        out.assign(text.s, text.l);
    ks_free(&text);
    return out;
}

std::size_t BcfReader::samples() const noexcept {
    return static_cast<std::size_t>(bcf_hdr_nsamples(header_.get()));
}

std::optional<VcfFault> BcfReader::next(VcfBatch& batch, bool& more) {
    const QuietHtslib quiet;
    rows_.start(batch);
    more = true;
    std::size_t records = 0;
    for (;;) {
        const int status = bcf_read(file_.get(), header_.get(), record_.get());
        if (status == -1) {
            ended_ = true;
            more = false;
            return std::nullopt;
        }
        ++number_;
        if (status < -1 || bcf_unpack(record_.get(), BCF_UN_STR | BCF_UN_FLT) != 0) {
            ended_ = true;
            return fault_of(VcfFault::Kind::unreadable, number_);
        }
        if (auto fault = record(batch))
            return fault;
        ++records;
        if (VcfRows::full(batch, records, settings_.batch_records))
            return std::nullopt;
    }
}

std::string BcfReader::genotype_text(const std::int32_t* alleles, int ploidy) const {
    std::string text;
    int i = 0;
    for (; i < ploidy && alleles[i] != bcf_int32_vector_end; ++i) {
        if (i > 0)
            text += bcf_gt_is_phased(alleles[i]) ? '|' : '/';
        text += bcf_gt_is_missing(alleles[i]) ? std::string(".")
                                              : std::to_string(bcf_gt_allele(alleles[i]));
    }
    return i == 0 ? std::string(".") : text;
}

std::int64_t BcfReader::phase_set(std::uint32_t column) {
    bcf_hdr_t* header = header_.get();
    bcf1_t* record = record_.get();
    const bcf_fmt_t* format = bcf_get_fmt(header, record, "PS");
    if (format == nullptr)
        return 0; // no PS in this record
    const int samples = bcf_hdr_nsamples(header);
    switch (bcf_hdr_id2type(header, BCF_HL_FMT, format->id)) {
    case BCF_HT_INT: {
        const int count = bcf_get_format_int32(header, record, "PS", &phase_numbers_.data,
                                               &phase_numbers_.size);
        if (count <= 0)
            return 0;
        const int per_sample = count / samples;
        const std::int32_t* values = phase_numbers_.data + column * per_sample;
        if (values[0] == bcf_int32_missing || values[0] == bcf_int32_vector_end)
            return 0; // written as '.'
        if (per_sample > 1 && values[1] != bcf_int32_vector_end)
            return unphased; // several numbers: no phase set
        return values[0] < 0 ? unphased : std::int64_t{values[0]} + 1;
    }
    case BCF_HT_STR: {
        if (bcf_get_format_string(header, record, "PS", &phase_texts_.data,
                                  &phase_texts_.size) <= 0)
            return 0;
        const std::string_view text = phase_texts_.data[column];
        if (text.empty() || text == ".")
            return text.empty() ? unphased : 0;
        if (!all_digits(text) || text.size() > 18)
            return unphased;
        return std::stoll(std::string(text)) + 1;
    }
    default:
        return unphased;
    }
}

std::optional<VcfFault> BcfReader::record(VcfBatch& batch) {
    using Kind = VcfFault::Kind;
    bcf_hdr_t* header = header_.get();
    bcf1_t* record = record_.get();
    const std::int64_t position = record->pos + 1;
    if (position <= 0) {
        VcfFault fault = fault_of(Kind::bad_position, number_);
        fault.text = std::to_string(position);
        return fault;
    }
    const char* name = bcf_seqname(header, record);
    const std::string_view chrom = name != nullptr ? name : "";
    if (chrom.empty())
        return fault_of(Kind::empty_chromosome, number_);
    filter_.clear();
    for (int i = 0; i < record->d.n_flt; ++i) {
        if (i > 0)
            filter_ += ';';
        filter_ += bcf_hdr_int2id(header, BCF_DT_ID, record->d.flt[i]);
    }
    if (record->d.n_flt == 0)
        filter_ = ".";
    const std::string_view ref = record->n_allele > 0 ? record->d.allele[0] : "";
    alts_.clear();
    for (int i = 1; i < record->n_allele; ++i) {
        if (i > 1)
            alts_ += ',';
        alts_ += record->d.allele[i];
    }
    if (record->n_allele <= 1)
        alts_ = ".";
    const std::string_view ident = record->d.id != nullptr ? record->d.id : ".";
    if (std::max({chrom.size(), ref.size(), alts_.size(), filter_.size()}) >
        settings_.max_field_bytes)
        return fault_of(Kind::field_too_long, number_);
    if (!valid_text(chrom) || !valid_text(filter_) || !valid_text(ref) || !valid_text(alts_) ||
        !valid_text(ident))
        return fault_of(Kind::not_utf8, number_);
    const bool passed = filter_ == "PASS" || filter_ == ".";
    const auto alternates = static_cast<std::uint64_t>(std::max(record->n_allele - 1, 1));
    held_.clear();
    if (settings_.by_genotype) {
        const int count = bcf_get_genotypes(header, record, &genotypes_.data, &genotypes_.size);
        const int samples = bcf_hdr_nsamples(header);
        const int ploidy = count > 0 && samples > 0 ? count / samples : 0;
        for (std::uint32_t s = 0; ploidy > 0 && s < settings_.taken.size(); ++s) {
            const std::uint32_t column = settings_.taken[s];
            const std::int32_t* alleles = genotypes_.data + std::size_t{column} * ploidy;
            int size = 0;
            while (size < ploidy && alleles[size] != bcf_int32_vector_end)
                ++size;
            // A phased diploid, as 0|1 is written: its second allele's phase bit.
            const bool phased = size == 2 && bcf_gt_is_phased(alleles[1]);
            const std::int64_t set = phased ? phase_set(column) : unphased;
            std::int64_t largest = 0;
            for (int slot = 0; slot < size; ++slot) {
                if (bcf_gt_is_missing(alleles[slot]))
                    continue;
                const std::int64_t allele = bcf_gt_allele(alleles[slot]);
                if (allele <= 0)
                    continue;
                largest = std::max(largest, allele);
                held_.push_back({s, static_cast<std::uint64_t>(allele),
                                 static_cast<std::uint8_t>(std::min(slot, 255)), set});
            }
            if (largest > 0 && static_cast<std::uint64_t>(largest) > alternates) {
                VcfFault fault = fault_of(Kind::allele_beyond, number_);
                fault.count = alternates;
                fault.text = genotype_text(alleles, ploidy);
                fault.allele = std::to_string(largest);
                fault.sample = column;
                return fault;
            }
        }
    }
    const VcfRowRules rules{settings_.by_genotype, settings_.pass_only, &settings_.kept};
    rows_.add(batch, number_, chrom, static_cast<std::uint64_t>(position), ref, alts_, filter_,
              ident, passed, rules, held_);
    return std::nullopt;
}

} // namespace mutflank::engine
