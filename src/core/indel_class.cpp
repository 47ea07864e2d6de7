#include "indel_class.hpp"

#include <algorithm>
#include <bit>
#include <string>

namespace mutflank {
namespace {

constexpr std::size_t max_count = 5;
constexpr std::size_t first_side = 32; // bases read on each side at first

// A window byte as a letter: '|' off the chromosome (no base ever matches it), A C G T, N,
// '?' for a byte that is no base.
char letter(std::int16_t byte) noexcept {
    if (byte < 0)
        return '|';
    if (byte < 16)
        return "ACGT"[byte & 3];
    return byte < 20 ? 'N' : '?';
}

struct Event {
    bool insertion = false;
    std::ptrdiff_t start = 0; // relative to the position: the first deleted base, or the base
                              // the insertion goes before
    std::string_view bases;
};

// The inserted or deleted bases of the alleles into `event`; false when both alleles keep
// bases after trimming (complex).
bool reduce(std::string_view ref, std::string_view alt, Event& event) {
    if (ref == "-") { // a MAF insertion, between the position and the next base
        event = {true, 1, alt};
        return true;
    }
    if (alt == "-") {
        event = {false, 0, ref};
        return true;
    }
    std::size_t shared = 0;
    while (shared < std::min(ref.size(), alt.size()) && ref[shared] == alt[shared])
        ++shared;
    ref.remove_prefix(shared);
    alt.remove_prefix(shared);
    while (!ref.empty() && !alt.empty() && ref.back() == alt.back()) {
        ref.remove_suffix(1);
        alt.remove_suffix(1);
    }
    if (!ref.empty() && !alt.empty())
        return false;
    const auto start = static_cast<std::ptrdiff_t>(shared);
    event = ref.empty() ? Event{true, start, alt} : Event{false, start, ref};
    return true;
}

// Copies of `unit` one after the other in `text` from `at`, up to max_count.
std::size_t copies_after(std::string_view text, std::size_t at, std::string_view unit) {
    std::size_t count = 0;
    while (count < max_count && text.substr(std::min(at, text.size()), unit.size()) == unit) {
        ++count;
        at += unit.size();
    }
    return count;
}

// The longest prefix of a deleted `unit` at `start` that follows the deletion, or suffix that
// precedes it (shorter than the unit).
std::size_t microhomology(std::string_view text, std::size_t start, std::string_view unit) {
    const std::size_t length = unit.size();
    const std::string_view after = text.substr(std::min(start + length, text.size()), length - 1);
    const std::size_t from = start + 1 >= length ? start + 1 - length : 0;
    const std::string_view before = text.substr(from, start - from);
    std::size_t best = 0;
    for (std::size_t k = length - 1; k > 0 && best == 0; --k)
        if (after.substr(0, k) == unit.substr(0, k))
            best = k;
    for (std::size_t k = length - 1; k > best; --k)
        if (before.size() >= k && before.substr(before.size() - k) == unit.substr(length - k)) {
            best = k;
            break;
        }
    return best;
}

std::size_t power_of_two(std::size_t number) { return std::bit_ceil(std::max<std::size_t>(number, 1)); }

} // namespace

IndelOutcome classify_indel(std::span<const std::int16_t> window, std::size_t side,
                            std::string_view ref, std::string_view alt) {
    Event event;
    if (!reduce(ref, alt, event))
        return {-1 - static_cast<std::int64_t>(IndelReason::complex), 0};
    // No bases at all ('-' against an empty allele) is no indel of A, C, G, T either.
    if (event.bases.empty() || !std::all_of(event.bases.begin(), event.bases.end(), [](char base) {
            return base == 'A' || base == 'C' || base == 'G' || base == 'T';
        }))
        return {-1 - static_cast<std::int64_t>(IndelReason::not_acgt), 0};
    const std::size_t length = event.bases.size();
    // Enough bases after it for five copies of its unit and the microhomology: a power of two,
    // so that indels of like size share one read.
    const std::size_t needed = power_of_two(
        std::max<std::size_t>(first_side, 8 * length + static_cast<std::size_t>(std::max<std::ptrdiff_t>(event.start, 0))));
    if (side < needed || window.size() != 2 * side + 1)
        return {0, std::max(needed, side)};
    std::string text(window.size(), ' ');
    std::transform(window.begin(), window.end(), text.begin(), letter);
    auto start = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(side) + event.start);
    std::string unit(event.bases);
    // Moved as far left as it goes; reaching the window's start means: read more before it.
    if (event.insertion) {
        while (start > 0 && text[start - 1] == unit.back()) {
            std::rotate(unit.rbegin(), unit.rbegin() + 1, unit.rend());
            --start;
        }
    } else {
        while (start > 0 && text[start - 1] == text[start + length - 1])
            --start;
        unit = text.substr(start, length);
    }
    if (start == 0)
        return {0, 4 * side};
    IndelClass found;
    found.insertion = event.insertion;
    found.size = static_cast<std::uint8_t>(std::min(length, max_count));
    found.count = static_cast<std::uint8_t>(
        copies_after(text, event.insertion ? start : start + length, unit));
    if (length == 1) {
        found.unit = unit[0] == 'C' || unit[0] == 'G' ? IndelUnit::c : IndelUnit::t;
    } else if (!event.insertion && found.count == 0) {
        const std::size_t homology = microhomology(text, start, unit);
        if (homology > 0) {
            found.unit = IndelUnit::microhomology;
            found.count = static_cast<std::uint8_t>(std::min(homology, max_count));
        }
    }
    return {found.code(), 0};
}

} // namespace mutflank
