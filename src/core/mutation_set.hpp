// Mutations counted once: a 128-bit fingerprint of each mutation of a matrix column, and the
// set of the fingerprints seen so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace mutflank {

// Two mutations share a fingerprint by chance once in 2^128.
struct Fingerprint {
    std::uint64_t first = 0;
    std::uint64_t second = 0;

    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

// Fingerprints of mutations: the column (`input`, the input's number, or -1 when columns are
// told by sample name alone), the sample, chromosome, position, REF and ALT, each field
// length-prefixed, hashed with XXH3's 128-bit hash. The same in every process and on every
// machine, so that tallies counted apart (Dask workers) recognise their common mutations.
class Fingerprinter {
  public:
    [[nodiscard]] Fingerprint of(std::int64_t input, std::string_view sample,
                                 std::string_view chromosome, std::uint64_t position,
                                 std::string_view ref, std::string_view alt);

  private:
    void add(std::string_view text);
    std::string bytes_; // the fields of the mutation at hand, reused
};

// An open-addressing hash set of fingerprints (linear probing, at most half full): memory grows
// with the fingerprints held, 32 to 64 bytes each.
class MutationSet {
  public:
    // Adds `fingerprint`; true when the set did not hold it yet.
    bool insert(Fingerprint fingerprint);
    // Adds first[i], second[i] in order; is_new[i]: the set did not hold it yet (an earlier
    // one of these equal to it counts as held). Quicker than one insert at a time: the slots
    // of the fingerprints ahead are fetched from memory while one is placed.
    void insert(std::span<const std::uint64_t> first, std::span<const std::uint64_t> second,
                std::span<std::uint8_t> is_new);
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    void clear() noexcept;

  private:
    void grow(std::size_t size);
    std::vector<Fingerprint> slots_; // {0, 0}: an empty slot (that fingerprint: holds_zero_)
    std::size_t size_ = 0;
    bool holds_zero_ = false;
};

// The mutations of a matrix column counted once, for streams ("lanes": the records of one input
// and one mutation class, say) that mostly come sorted: chromosomes in runs, each met once,
// positions non-decreasing within a run. While a lane's records are in that order, the same
// mutation again can only sit among the records of its position: a repeat is looked for there
// alone (the group kept across calls, so a group split between two batches is one group), and
// the lane's fingerprints are only appended to a list. At the lane's first record out of order
// (or a position of more than `group_limit` records), that list goes into one hash set once,
// and the lane's records are looked up there from then on. The answers are a hash set's, in
// either order.
class OrderedMutations {
  public:
    static constexpr std::size_t group_limit = 64;

    struct Rows {
        std::span<const std::uint64_t> first, second; // the fingerprint of each record
        std::span<const std::int64_t> lane;
        std::span<const std::uint32_t> chromosome; // the same name, the same number
        std::span<const std::uint64_t> position;
    };
    // is_new[i]: no earlier record of the lane (before or among these) had the fingerprint.
    void insert(const Rows& rows, std::span<std::uint8_t> is_new);
    // Whether `lane` still takes its records in order (a lane not met yet does).
    [[nodiscard]] bool in_order(std::int64_t lane) const;
    // Fingerprints held: in order lanes' lists and the hash set.
    [[nodiscard]] std::size_t size() const noexcept;

  private:
    struct Lane {
        bool sorted = true;
        bool started = false;
        std::uint32_t chromosome = 0;
        std::uint64_t position = 0;
        std::vector<std::uint32_t> finished; // chromosomes the lane has left
        std::vector<Fingerprint> group;      // of the current position
        std::vector<Fingerprint> kept;       // every new fingerprint, while sorted
    };
    static bool follows(Lane& lane, std::uint32_t chromosome, std::uint64_t position);
    void unsort(Lane& lane);
    std::unordered_map<std::int64_t, Lane> lanes_;
    MutationSet unordered_;
};

} // namespace mutflank
