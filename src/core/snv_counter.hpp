// Single-base substitutions counted where they are read: an SNV of a record, told from its
// alleles, is checked against the reference, merged with its neighbours into doublets (the
// DoubletMerger's decisions) and counted in the SBS matrices, without leaving the engine. What
// is not an SNV (a doublet made here, a substitution of one base that the reference says is
// no such, a run of three or more) is handed back to the caller as rows or counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "doublet_merger.hpp"
#include "error.hpp"
#include "unique_fd.hpp"

namespace mutflank {

// The one changed base of a pair of alleles of equal length, once their common leading and
// trailing bases are left aside (REF ATG, ALT ACG is T>C at offset 1), when that is one base of
// A, C, G, T replaced by another; nullopt for any other pair.
struct ChangedBase {
    std::size_t offset;
    char ref;
    char alt;
};
[[nodiscard]] std::optional<ChangedBase> single_changed_base(std::string_view ref,
                                                             std::string_view alt) noexcept;

// The widest flank of the SBS matrices counted here.
inline constexpr int max_snv_flank = 2;

// One SNV of one sample, as counted.
// A reference byte as an SNV keeps it, in one byte: 0 .. 19 as read (a base, or N), 20 for
// any byte that is no base, off_chromosome for a place off the chromosome.
inline constexpr std::uint8_t off_chromosome = 255;
[[nodiscard]] constexpr std::uint8_t kept_byte(std::int16_t byte) noexcept {
    return byte < 0 ? off_chromosome : static_cast<std::uint8_t>(byte > 20 ? 20 : byte);
}
// The byte as the window readers give it (-1 off the chromosome).
[[nodiscard]] constexpr std::int16_t read_byte(std::uint8_t kept) noexcept {
    return kept == off_chromosome ? std::int16_t{-1} : std::int16_t{kept};
}

// One SNV of one sample, as counted: 48 bytes, many held at once.
struct Snv {
    std::int64_t position = 0;    // 1-based
    std::int64_t phase = 0;       // as VcfBatch::carrier_phase
    std::int64_t line = 0;
    std::uint32_t sample = 0;     // the caller's sample number (a matrix row)
    std::uint32_t chromosome = 0; // the caller's chromosome number, for what is left out
    std::uint32_t place = 0;      // the reference file (SnvCounter::add_place)
    std::uint32_t code = 0;       // the merger's code of the sample (set by the counter)
    std::int8_t weight = 1; // input records it stands for (0: a later piece of a split one)
    char ref = 'N';
    char alt = 'N';
    // The reference bytes (kept_byte) from max_snv_flank before the position to as many
    // after it.
    std::array<std::uint8_t, 2 * max_snv_flank + 1> window{};
};
static_assert(sizeof(Snv) == 48);

// What the REF check made of a candidate SNV.
enum class SnvCheck : std::uint8_t { same, differs, past_end };

// Why the counter leaves out SNVs it holds.
enum class SnvLoss : std::uint8_t { multi_base, duplicate };

// What one step of an input's merger released beyond the counts.
struct SnvStep {
    std::vector<Snv> firsts; // doublets: firsts[i] and seconds[i], in the merger's order
    std::vector<Snv> seconds;
    struct Lost {
        SnvLoss reason;
        std::uint32_t chromosome;
        std::int64_t weight;
    };
    std::vector<Lost> lost;
    // Singles that some kind gave no channel: the SNV and each kind's code (>= 0: a channel).
    std::vector<Snv> unplaced;
    std::vector<std::int64_t> unplaced_codes; // kinds() per SNV of `unplaced`
    std::uint64_t counted = 0;                // singles counted in at least one kind
    std::uint64_t singles = 0;                // singles released
    std::optional<Snv> unsorted;              // the SNV that broke the order; nothing counted
};

// Counts the SNVs of inputs, each fed in order (the merger's rules: every SNV of an input is
// held up to `hold` of them, then the input must be sorted per sample and only the runs that a
// later SNV could extend are held). Counts go to the caller's matrices, one per kind: a flank
// of `flanks` (1: SBS96, 2: SBS1536), rows of channels by sample number.
class SnvCounter {
  public:
    // At most max_snv_kinds flanks, each 1 .. max_snv_flank (the caller checks).
    static constexpr std::size_t max_snv_kinds = 4;
    SnvCounter(std::vector<int> flanks, std::size_t hold);

    // Names reference file `number` (numbers are the caller's): `path`, `length` bytes.
    void add_place(std::uint32_t number, std::string path, std::uint64_t length);
    [[nodiscard]] bool has_place(std::uint32_t number) const noexcept;

    // Checks SNVs (place, position and ref set; each place added) against the reference: reads
    // each one's window, and says whether its REF is the reference's base there. Errors: the
    // window reader's (a reference file that cannot be opened or read, or is shorter than
    // its length), and the internal unknown_place.
    [[nodiscard]] std::optional<Error> check(std::span<Snv> snvs, std::span<SnvCheck> checks);

    // Holds checked SNVs of `input`, in the order of the input.
    void feed(std::int64_t input, std::vector<Snv> snvs);
    // The same with each SNV's sample s the caller's rows[s]; false (nothing held) for a
    // sample beyond `rows` or a row beyond 0 .. 2^32 - 1.
    [[nodiscard]] bool feed(std::int64_t input, std::vector<Snv> snvs,
                            std::span<const std::int64_t> rows);
    // Holds checked SNVs of `input` (in line order) among those fed since its last step (in
    // line order too), each at the place of its line.
    void feed_among(std::int64_t input, std::span<const Snv> snvs);
    // Merges what `input` holds as the merger does after each feed (or at the input's end:
    // `final`, which also forgets the input), and adds each single released to `counts`: one
    // matrix per kind, of `rows` rows of channels(kind). Errors: the internal
    // "sample beyond the matrix rows" (a caller's fault: the counts are then incomplete).
    [[nodiscard]] Result<SnvStep> step(std::int64_t input, bool final,
                                       std::span<const std::span<std::int64_t>> counts,
                                       std::size_t rows);

    [[nodiscard]] std::size_t kinds() const noexcept { return flanks_.size(); }
    [[nodiscard]] int flank(std::size_t kind) const noexcept { return flanks_[kind]; }
    [[nodiscard]] static std::size_t channels_of(int flank) noexcept;

  private:
    struct Place {
        std::string path;
        std::uint64_t length = 0;
        UniqueFd fd;
    };
    struct Input {
        DoubletMerger merger;
        std::vector<Snv> held;
        std::size_t checked = 0; // held SNVs whose order has been checked
        std::size_t fed = 0;     // SNVs fed since the last step
        bool streaming = false;
        std::vector<std::uint32_t> sample_codes; // the merger's code by sample number
        std::vector<std::size_t> part_ends;      // of the parts fed, one per step, unchecked
        std::size_t part_start = 0;              // of the part fed since the last step
    };
    [[nodiscard]] std::optional<Error> read_windows(Place& place, std::span<Snv> snvs,
                                                    std::span<const std::size_t> rows);
    void resolve(Input& input, bool final, SnvStep& step,
                 std::span<const std::span<std::int64_t>> counts);
    // Counts the held SNVs that are alone in their sample, where the held SNVs come in order
    // of place (else none); returns the rows of the others.
    std::vector<std::size_t> count_alone(Input& state, bool final, SnvStep& step,
                                         std::span<const std::span<std::int64_t>> counts);
    static std::vector<std::size_t> all_rows(std::size_t count);
    // The merger's code of sample number `sample`.
    static std::uint32_t code_of(Input& state, std::uint32_t sample);
    // Sets the merger's sample code of the held SNVs from `from` on.
    static void code_samples(Input& state, std::size_t from);
    void count_single(const Snv& snv, SnvStep& step,
                      std::span<const std::span<std::int64_t>> counts);

    std::vector<int> flanks_;
    std::size_t hold_;
    std::size_t rows_ = 0; // of the step at hand
    bool beyond_ = false;  // a single of the step at hand had a sample beyond rows_
    std::unordered_map<std::uint32_t, Place> places_;
    std::unordered_map<std::int64_t, Input> inputs_;
    // Reused buffers.
    std::vector<std::int64_t> starts_;
    std::vector<std::int16_t> window_rows_;
};

namespace messages {
inline constexpr std::string_view sample_beyond_rows = "sample beyond the matrix rows";
inline constexpr std::string_view unknown_place = "an SNV of a reference file not added";
} // namespace messages

} // namespace mutflank
