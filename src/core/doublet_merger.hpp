// Adjacent single-base substitutions of one sample merged into doublets: the decisions of the
// merger of one input (which SNVs are held back, stay single, pair into a doublet, form a run
// of three or more, or repeat one written before), on SNVs coded as numbers. The caller keeps
// the records themselves and takes them by the row numbers given here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mutflank {

// Small whole numbers for names, in the order they are first met.
class NameCodes {
  public:
    std::uint32_t code(std::string_view name);
    [[nodiscard]] std::size_t size() const noexcept { return codes_.size(); }

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept {
            return std::hash<std::string_view>{}(text);
        }
    };
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> codes_;
};

// Small whole numbers for a caller's own numbers (codes of samples, say), in the order they are
// first met.
class NumberCodes {
  public:
    std::uint32_t code(std::int64_t number);
    [[nodiscard]] std::size_t size() const noexcept { return codes_.size(); }

  private:
    std::unordered_map<std::int64_t, std::uint32_t> codes_;
};

// The SNVs held by a merger, one entry per record, all of one length.
struct HeldSnvs {
    std::span<const std::uint32_t> sample;     // NameCodes of the merger
    std::span<const std::uint32_t> chromosome; // NameCodes of the merger
    std::span<const std::int64_t> position;
    std::span<const char> alt;         // the alternate base
    std::span<const std::int64_t> phase; // see VcfBatch::carrier_phase; 0: not phased
};

// Rows of the held SNVs by what becomes of them. Each list is in the order of the SNVs sorted
// by sample, chromosome, position and ALT (the order of the records as read among equals);
// firsts[i] and seconds[i] are the two SNVs of one doublet.
struct Resolved {
    std::vector<std::size_t> kept;    // held back: a later SNV may still extend its run
    std::vector<std::size_t> singles; // no neighbour: an SNV
    std::vector<std::size_t> firsts;  // a doublet's first position
    std::vector<std::size_t> seconds; // its second
    std::vector<std::size_t> multi;   // in a run of three or more positions (or records)
    std::vector<std::size_t> again;   // the same SNV of the sample as an earlier one
};

class DoubletMerger {
  public:
    NameCodes samples;
    NumberCodes sample_numbers; // samples given as numbers instead of names
    NameCodes chromosomes;

    // Notes the order of the SNVs of one batch (positions ascending within a chromosome, each
    // chromosome in one stretch, per sample); returns the row of the first that comes before
    // an earlier one of its sample (first by sample, in the order of the batch), or `none`.
    static constexpr std::size_t none = SIZE_MAX;
    std::size_t check_order(std::span<const std::uint32_t> sample,
                            std::span<const std::uint32_t> chromosome,
                            std::span<const std::int64_t> position);

    // What becomes of the held SNVs. Unless `final`, the runs that a later SNV of their sample
    // could still extend (as check_order has noted the samples) are kept back.
    [[nodiscard]] Resolved resolve(const HeldSnvs& held, bool final) const;
    // Whether a later SNV of sample `sample` (a code) could still sit beside one at `position`
    // of `chromosome`, as check_order has noted the sample: resolve keeps such a run back.
    [[nodiscard]] bool may_extend(std::uint32_t sample, std::uint32_t chromosome,
                                  std::int64_t position) const noexcept {
        const bool known = sample < states_.size() && states_[sample].seen;
        return known && states_[sample].chromosome == chromosome &&
               position >= states_[sample].last - 1;
    }

  private:
    struct State {
        std::uint32_t chromosome = 0; // the sample's current chromosome
        std::int64_t last = 0;        // its last position
        std::vector<std::uint32_t> finished; // chromosomes the sample has left
        bool seen = false;
    };
    std::vector<State> states_; // by sample code
};

} // namespace mutflank
