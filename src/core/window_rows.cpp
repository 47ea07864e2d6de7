#include "window_rows.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include "reference_window.hpp"

namespace mutflank {
namespace {

// Windows whose starts lie further apart than this are read separately, and one read spans
// at most read_bytes: what is read and not used stays small.
constexpr std::int64_t gap_bytes = 4 << 10;
constexpr std::int64_t read_bytes = 4 << 20;

} // namespace

std::optional<Error> read_window_rows(int fd, std::uint64_t length,
                                      std::span<const std::int64_t> starts, std::size_t width,
                                      std::span<std::int16_t> rows) {
    std::fill(rows.begin(), rows.end(), outside_chromosome);
    if (starts.empty() || width == 0)
        return std::nullopt;
    const auto end = static_cast<std::int64_t>(std::min<std::uint64_t>(length, max_file_offset));
    const auto span = static_cast<std::int64_t>(width);
    // A window wholly off the chromosome reads nothing: clamping its start keeps the
    // arithmetic below far from overflow whatever the caller passed.
    std::vector<std::int64_t> at(starts.size());
    std::transform(starts.begin(), starts.end(), at.begin(),
                   [&](std::int64_t start) { return std::clamp(start, -span, end); });
    std::vector<std::size_t> order(at.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (!std::is_sorted(at.begin(), at.end()))
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return at[a] < at[b]; });
    WindowReader reader;
    std::size_t first = 0;
    while (first < order.size()) {
        // One read for the run of windows that starts here.
        const std::int64_t low = std::max<std::int64_t>(at[order[first]], 0);
        std::size_t last = first + 1;
        while (last < order.size() && at[order[last]] - at[order[last - 1]] <= gap_bytes &&
               at[order[last]] + span - low <= read_bytes)
            ++last;
        const std::int64_t high =
            std::clamp<std::int64_t>(at[order[last - 1]] + span, low, end);
        if (high > low) {
            const Window window{static_cast<std::uint64_t>(low),
                                static_cast<std::uint64_t>(high - low), 0};
            if (auto error = reader.read(fd, window))
                return error;
            const std::string_view bytes = reader.bytes();
            for (std::size_t k = first; k < last; ++k) {
                const std::size_t row = order[k];
                const std::int64_t start = at[row];
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
