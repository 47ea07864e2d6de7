#include "window_rows.hpp"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "reference_window.hpp"

namespace mutflank {
namespace {

// Windows whose starts lie further apart than this are read separately, and one read spans
// at most read_bytes: what is read and not used stays small.
constexpr std::int64_t gap_bytes = 4 << 10;
constexpr std::int64_t read_bytes = 4 << 20;

// Sorts (start, row) pairs by start. The rows of many small inputs come as many sorted runs,
// which a comparison sort takes as unsorted: where the starts' range and the rows fit in 64
// bits, the pairs are packed into one key each and sorted by their digits, 11 bits a pass.
void sort_by_start(std::vector<std::pair<std::int64_t, std::size_t>>& pairs) {
    const auto by_start = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (std::is_sorted(pairs.begin(), pairs.end(), by_start))
        return;
    const auto [low, high] = std::minmax_element(pairs.begin(), pairs.end(), by_start);
    // Unsigned: the range of starts from -width to 2^63 - 1 exceeds a signed difference.
    const auto base = static_cast<std::uint64_t>(low->first);
    const std::uint64_t range = static_cast<std::uint64_t>(high->first) - base;
    const int row_bits = std::bit_width(pairs.size());
    const int start_bits = std::bit_width(range);
    if (row_bits + start_bits > 64) {
        std::sort(pairs.begin(), pairs.end(), by_start);
        return;
    }
    std::vector<std::uint64_t> keys(pairs.size());
    std::vector<std::uint64_t> spare(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i)
        keys[i] =
            (static_cast<std::uint64_t>(pairs[i].first) - base) << row_bits | pairs[i].second;
    constexpr int digit_bits = 11;
    constexpr std::size_t digits = std::size_t{1} << digit_bits;
    std::vector<std::size_t> counts(digits);
    for (int shift = 0; shift < row_bits + start_bits; shift += digit_bits) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const std::uint64_t key : keys)
            ++counts[(key >> shift) & (digits - 1)];
        std::size_t total = 0;
        for (std::size_t& count : counts)
            total += std::exchange(count, total);
        for (const std::uint64_t key : keys)
            spare[counts[(key >> shift) & (digits - 1)]++] = key;
        keys.swap(spare);
    }
    const std::uint64_t row_mask = (std::uint64_t{1} << row_bits) - 1;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::size_t row = keys[i] & row_mask;
        pairs[i] = {static_cast<std::int64_t>((keys[i] >> row_bits) + base), row};
    }
}

} // namespace

std::optional<Error> read_window_rows(int fd, std::uint64_t length,
                                      std::span<const std::int64_t> starts, std::size_t width,
                                      std::span<std::int16_t> rows) {
    std::fill(rows.begin(), rows.end(), outside_chromosome);
    if (starts.empty() || width == 0)
        return std::nullopt;
    const auto end = static_cast<std::int64_t>(std::min<std::uint64_t>(length, max_file_offset));
    const auto span = static_cast<std::int64_t>(width);
    // (start, row) in order of start. A window wholly off the chromosome reads nothing:
    // clamping its start keeps the arithmetic below far from overflow whatever the caller
    // passed.
    std::vector<std::pair<std::int64_t, std::size_t>> order(starts.size());
    for (std::size_t row = 0; row < starts.size(); ++row)
        order[row] = {std::clamp(starts[row], -span, end), row};
    sort_by_start(order);
    WindowReader reader;
    std::size_t first = 0;
    while (first < order.size()) {
        // One read for the run of windows that starts here.
        const std::int64_t low = std::max<std::int64_t>(order[first].first, 0);
        std::size_t last = first + 1;
        while (last < order.size() && order[last].first - order[last - 1].first <= gap_bytes &&
               order[last].first + span - low <= read_bytes)
            ++last;
        const std::int64_t high = std::clamp<std::int64_t>(order[last - 1].first + span, low, end);
        if (high > low) {
            const Window window{static_cast<std::uint64_t>(low),
                                static_cast<std::uint64_t>(high - low), 0};
            if (auto error = reader.read(fd, window))
                return error;
            const std::string_view bytes = reader.bytes();
            for (std::size_t k = first; k < last; ++k) {
                const auto [start, row] = order[k];
                const std::int64_t from = std::max(start, low);
                const std::int64_t to = std::min(start + span, high);
                std::int16_t* out = rows.data() + row * width;
                for (std::int64_t offset = from; offset < to; ++offset)
                    out[offset - start] = static_cast<unsigned char>(bytes[offset - low]);
            }
        }
        first = last;
    }
    return std::nullopt;
}

} // namespace mutflank
