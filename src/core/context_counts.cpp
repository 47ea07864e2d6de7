// Context counting: one pass over the bytes of each stretch, four centres at a time. Where
// the eight bytes around four centres in a row (two before the first to two after the last)
// are all bases (nearly everywhere), one 32-bit counter keyed by those eight bases records
// the four pentanucleotides, which give their trinucleotides and the dinucleotides of each
// centre and the next base; the contexts near a byte that is no base, a chromosome end or a
// region end are checked one by one. The counters are added to a histogram of (strand bits
// of the centre, pentanucleotide), folded onto the pyrimidine strand at the end.
#include "context_counts.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "unique_fd.hpp"

namespace mutflank {

void ContextCounts::merge(const ContextCounts& other) noexcept {
    for (std::size_t s = 0; s < trinucleotides.size(); ++s)
        for (std::size_t i = 0; i < trinucleotides[s].size(); ++i)
            trinucleotides[s][i] += other.trinucleotides[s][i];
    for (std::size_t i = 0; i < pentanucleotides.size(); ++i)
        pentanucleotides[i] += other.pentanucleotides[i];
    for (std::size_t i = 0; i < dinucleotides.size(); ++i)
        dinucleotides[i] += other.dinucleotides[i];
}

namespace {

constexpr unsigned no_base = 16; // bytes from here on hold no base (N and the rest)

// Counts by forward-strand code, before folding.
struct RawCounts {
    // (strand bits of the centre << 10) | pentanucleotide: a whole pentanucleotide, which
    // also gives its trinucleotide and the dinucleotide of its centre and the next base.
    std::vector<std::uint64_t> whole = std::vector<std::uint64_t>(4 << 10);
    // Four centres in a row counted at once by the eight bases around them (the two before
    // the first centre to the two after the last), base k of the eight in bits 2k and 2k + 1;
    // their strand bits are not in the key but moved in `whole` (count_octet_in_genes). Counted
    // in 32 bits and added to `whole` before any counter could overflow.
    std::vector<std::uint32_t> octets = std::vector<std::uint32_t>(1 << 16);
    std::uint64_t octets_counted = 0;
    std::array<std::array<std::uint64_t, 64>, 4> trinucleotides{}; // outside a whole one
    std::array<std::uint64_t, 16> dinucleotides{};                 // outside a whole one
    std::array<std::uint64_t, 16> dinucleotides_excess{};          // in `whole` but not to count
};

// The pentanucleotide code (first base in the high bits) of the five bases from base `from`
// of an octet key.
constexpr unsigned pentanucleotide_of_octet(unsigned key, unsigned from) {
    unsigned code = 0;
    for (unsigned k = from; k < from + 5; ++k)
        code = code << 2U | (key >> (2 * k) & 3U);
    return code;
}

// Adds the octets to `whole` (with no strand bits: count_octet_in_genes moved those) and clears
// them.
void fold_octets(RawCounts& raw) {
    for (unsigned key = 0; key < raw.octets.size(); ++key) {
        const std::uint64_t n = raw.octets[key];
        if (n == 0)
            continue;
        for (unsigned from = 0; from < 4; ++from)
            raw.whole[pentanucleotide_of_octet(key, from)] += n;
        raw.octets[key] = 0;
    }
    raw.octets_counted = 0;
}

// The bytes [lo, hi) of a chromosome; offsets outside are off the chromosome.
struct Stretch {
    const unsigned char* bytes;
    std::uint64_t lo;
    std::uint64_t hi;

    [[nodiscard]] bool base(std::uint64_t at) const noexcept {
        return at >= lo && at < hi && bytes[at - lo] < no_base;
    }
    [[nodiscard]] unsigned code(std::uint64_t at) const noexcept { return bytes[at - lo] & 3U; }
    [[nodiscard]] unsigned bits(std::uint64_t at) const noexcept {
        return (bytes[at - lo] >> 2U) & 3U;
    }
};

// The contexts of centre `c` that are not a whole pentanucleotide; `pair` tells whether the
// dinucleotide (c, c + 1) may count.
void count_partial(const Stretch& s, std::uint64_t c, bool pair, RawCounts& raw) {
    if (!s.base(c))
        return;
    if (c > 0 && s.base(c - 1) && s.base(c + 1))
        raw.trinucleotides[s.bits(c)][s.code(c - 1) << 4U | s.code(c) << 2U | s.code(c + 1)] += 1;
    if (pair && s.base(c + 1))
        raw.dinucleotides[s.code(c) << 2U | s.code(c + 1)] += 1;
}

// Every context of centre `c`, each condition checked.
void count_checked(const Stretch& s, std::uint64_t c, bool pair, RawCounts& raw) {
    if (c >= 2 && s.base(c - 2) && s.base(c - 1) && s.base(c) && s.base(c + 1) && s.base(c + 2)) {
        unsigned code = 0;
        for (std::uint64_t k = c - 2; k <= c + 2; ++k)
            code = code << 2U | s.code(k);
        raw.whole[s.bits(c) << 10U | code] += 1;
        if (!pair)
            raw.dinucleotides_excess[code >> 2U & 15U] += 1;
        return;
    }
    count_partial(s, c, pair, raw);
}

constexpr std::uint64_t every_byte(std::uint64_t byte) { return byte * 0x0101010101010101ULL; }
// Eight bytes are read as one word, the first byte in the low bits.
static_assert(std::endian::native == std::endian::little);

// The eight 2-bit base codes of eight bytes that are all bases, byte k's in bits 2k, 2k + 1:
// pairs of bytes gathered into the low four bits of each 16-bit lane, then the four lanes
// multiplied into the top sixteen bits (the other products land apart, below them).
inline unsigned octet_key(std::uint64_t bytes) {
    std::uint64_t x = bytes & every_byte(0x03);
    x = (x | x >> 6U) & 0x000F000F000F000FULL;
    return static_cast<unsigned>((x * 0x0001001001001000ULL) >> 48U);
}

// The four centres whose eight bytes (from two before the first centre) are all bases, some
// with strand bits: one octet counter, and, for a centre with strand bits (in a gene), its
// pentanucleotide moved from `whole`'s no-strand counter, where the octet will add it, to its
// strand's.
inline void count_octet_in_genes(std::uint64_t bytes, RawCounts& raw) {
    const unsigned key = octet_key(bytes);
    ++raw.octets[key];
    constexpr std::uint64_t centre_strand_bits = every_byte(0x0C) & 0x0000FFFFFFFF0000ULL;
    if ((bytes & centre_strand_bits) == 0) [[likely]]
        return;
    for (unsigned k = 0; k < 4; ++k) {
        const unsigned bits = bytes >> (8 * (k + 2) + 2) & 3U;
        if (bits == 0)
            continue;
        const unsigned code = pentanucleotide_of_octet(key, k);
        raw.whole[bits << 10U | code] += 1;
        raw.whole[code] -= 1; // wraps until the octets are folded in; the sum is exact
    }
}

// Counts the centres [a, b) of stretch `s`, which holds every byte of the chromosome from
// two before a to two after b - 1 (fewer at the chromosome's ends); a dinucleotide counts
// when its second base is before `pair_end`.
void count_centres(const Stretch& s, std::uint64_t a, std::uint64_t b, std::uint64_t pair_end,
                   RawCounts& raw) {
    // The quick loop, four centres at a time: all five bytes of each inside the stretch, and
    // its pair inside too.
    const std::uint64_t first = std::max(a, s.lo + 2);
    const std::uint64_t last = std::min(b - 1, s.hi >= 2 ? s.hi - 2 : 0);
    if (first >= last) {
        for (std::uint64_t c = a; c < b; ++c)
            count_checked(s, c, c + 1 < pair_end, raw);
        return;
    }
    for (std::uint64_t c = a; c < first; ++c)
        count_checked(s, c, c + 1 < pair_end, raw);
    if (raw.octets_counted + (last - first) / 4 > 0xFFFFFFFFULL)
        fold_octets(raw);
    raw.octets_counted += (last - first) / 4;
    const unsigned char* bytes = s.bytes - s.lo;
    std::uint32_t* const octets = raw.octets.data();
    std::uint64_t c = first;
    for (; c + 4 <= last; c += 4) {
        std::uint64_t eight = 0;
        std::memcpy(&eight, bytes + c - 2, sizeof eight);
        if ((eight & every_byte(0xFC)) == 0) [[likely]] { // eight bases, none in a gene
            ++octets[octet_key(eight)];
            continue;
        }
        if ((eight & every_byte(0xF0)) == 0) {
            count_octet_in_genes(eight, raw);
            continue;
        }
        for (std::uint64_t k = c; k < c + 4; ++k)
            if (bytes[k] < no_base)
                count_checked(s, k, true, raw);
    }
    for (; c < b; ++c)
        count_checked(s, c, c + 1 < pair_end, raw);
}

constexpr unsigned complement(unsigned base) { return 3U - base; }
constexpr bool pyrimidine(unsigned base) { return base == 1 || base == 3; }

// The strand class of a centre base from its strand bits: a gene on the + strand has the
// forward strand as its untranscribed strand, one on the - strand the reverse.
constexpr unsigned strand_class(unsigned bits, unsigned base) {
    switch (bits) {
    case 1:
        return static_cast<unsigned>(pyrimidine(base) ? StrandClass::untranscribed
                                                      : StrandClass::transcribed);
    case 2:
        return static_cast<unsigned>(pyrimidine(base) ? StrandClass::transcribed
                                                      : StrandClass::untranscribed);
    case 3:
        return static_cast<unsigned>(StrandClass::both);
    default:
        return static_cast<unsigned>(StrandClass::none);
    }
}

// Folded index of a trinucleotide (forward bases l, x, r).
unsigned trinucleotide_index(unsigned l, unsigned x, unsigned r) {
    if (!pyrimidine(x)) {
        const unsigned left = complement(r);
        r = complement(l);
        l = left;
        x = complement(x);
    }
    return (x == 1 ? 0U : 16U) + l * 4 + r;
}

unsigned pentanucleotide_index(unsigned l2, unsigned l1, unsigned x, unsigned r1, unsigned r2) {
    if (!pyrimidine(x))
        return pentanucleotide_index(complement(r2), complement(r1), complement(x), complement(l1),
                                     complement(l2));
    return (x == 1 ? 0U : 256U) + (l2 * 4 + l1) * 16 + r1 * 4 + r2;
}

unsigned dinucleotide_index(unsigned first, unsigned second) {
    constexpr std::string_view bases = "ACGT";
    for (unsigned flip = 0; flip < 2; ++flip) {
        const char pair[2] = {bases[first], bases[second]};
        const auto* found = std::find(canonical_dinucleotides.begin(),
                                      canonical_dinucleotides.end(), std::string_view(pair, 2));
        if (found != canonical_dinucleotides.end())
            return static_cast<unsigned>(found - canonical_dinucleotides.begin());
        const unsigned other = complement(first);
        first = complement(second);
        second = other;
    }
    return 0; // not reached: every pair or its reverse complement is canonical
}

void fold(RawCounts& raw, ContextCounts& counts) {
    fold_octets(raw);
    for (unsigned key = 0; key < raw.whole.size(); ++key) {
        const std::uint64_t n = raw.whole[key];
        if (n == 0)
            continue;
        const unsigned bits = key >> 10U;
        const unsigned l2 = key >> 8U & 3U, l1 = key >> 6U & 3U, x = key >> 4U & 3U,
                       r1 = key >> 2U & 3U, r2 = key & 3U;
        counts.pentanucleotides[pentanucleotide_index(l2, l1, x, r1, r2)] += n;
        counts.trinucleotides[strand_class(bits, x)][trinucleotide_index(l1, x, r1)] += n;
        counts.dinucleotides[dinucleotide_index(x, r1)] += n;
    }
    for (unsigned bits = 0; bits < 4; ++bits)
        for (unsigned code = 0; code < 64; ++code) {
            const unsigned x = code >> 2U & 3U;
            counts.trinucleotides[strand_class(bits, x)]
                                 [trinucleotide_index(code >> 4U, x, code & 3U)] +=
                raw.trinucleotides[bits][code];
        }
    for (unsigned code = 0; code < 16; ++code)
        counts.dinucleotides[dinucleotide_index(code >> 2U, code & 3U)] +=
            raw.dinucleotides[code] - raw.dinucleotides_excess[code];
}

[[nodiscard]] bool apart(std::span<const Interval> regions) {
    for (std::size_t i = 0; i < regions.size(); ++i) {
        if (regions[i].start >= regions[i].end)
            return false;
        if (i > 0 && regions[i].start <= regions[i - 1].end)
            return false;
    }
    return true;
}

// Calls visit(a, b, pair_end) for each stretch of centres of at most `block`, in order: the
// whole chromosome, or each region clipped to it.
template <class Visit>
void each_stretch(std::uint64_t length, std::span<const Interval> regions, bool whole,
                  std::size_t block, Visit&& visit) {
    const Interval all{0, length};
    const std::span<const Interval> spans = whole ? std::span<const Interval>(&all, 1) : regions;
    for (const Interval& region : spans) {
        const std::uint64_t end = std::min(region.end, length);
        for (std::uint64_t a = region.start; a < end;) {
            const std::uint64_t b = end - a > block ? a + block : end;
            if (!visit(a, b, end))
                return;
            a = b;
        }
    }
}

// Reads the bytes [lo, hi) of `fd` into `buffer`; false with `error` set when it cannot.
bool read_exactly(int fd, std::uint64_t lo, std::uint64_t hi, std::vector<unsigned char>& buffer,
                  std::optional<Error>& error) {
    buffer.resize(hi - lo);
    std::uint64_t done = 0;
    while (done < hi - lo) {
        const ssize_t got =
            ::pread(fd, buffer.data() + done, hi - lo - done, static_cast<off_t>(lo + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = io_error(messages::read_chromosome);
            return false;
        }
        if (got == 0) {
            error = io_error(messages::chromosome_changed);
            return false;
        }
        done += static_cast<std::uint64_t>(got);
    }
    return true;
}

} // namespace

std::optional<Error> count_contexts(std::span<const unsigned char> bytes,
                                    std::span<const Interval> regions, bool whole,
                                    ContextCounts& counts) {
    if (!whole && !apart(regions))
        return internal_error(messages::intervals_unsorted);
    RawCounts raw;
    const Stretch all{bytes.data(), 0, bytes.size()};
    each_stretch(bytes.size(), regions, whole, context_block,
                 [&](std::uint64_t a, std::uint64_t b, std::uint64_t pair_end) {
                     count_centres(all, a, b, pair_end, raw);
                     return true;
                 });
    fold(raw, counts);
    return std::nullopt;
}

Result<ContextCounts> count_chromosome_file(const std::string& path,
                                            std::span<const Interval> regions, bool whole,
                                            std::size_t block) {
    if (!whole && !apart(regions))
        return internal_error(messages::intervals_unsorted);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return io_error(messages::open_chromosome);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return io_error(messages::read_chromosome);
    const auto length = static_cast<std::uint64_t>(info.st_size);
    if (whole) // read from start to end: a larger read-ahead (only a hint, so unchecked)
        (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    RawCounts raw;
    std::vector<unsigned char> buffer;
    std::optional<Error> error;
    each_stretch(length, regions, whole, std::max<std::size_t>(block, 1),
                 [&](std::uint64_t a, std::uint64_t b, std::uint64_t pair_end) {
                     const std::uint64_t lo = a >= 2 ? a - 2 : 0;
                     const std::uint64_t hi = std::min(b + 2, length);
                     if (!read_exactly(fd.get(), lo, hi, buffer, error))
                         return false;
                     count_centres(Stretch{buffer.data(), lo, hi}, a, b, pair_end, raw);
                     return true;
                 });
    if (error)
        return *error;
    ContextCounts counts;
    fold(raw, counts);
    return counts;
}

} // namespace mutflank
