// Mutations counted once: a 128-bit fingerprint of each mutation of a matrix column, and the
// set of the fingerprints seen so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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

} // namespace mutflank
