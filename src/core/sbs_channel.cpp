#include "sbs_channel.hpp"

namespace mutflank {

std::int64_t sbs_channel(std::span<const std::int16_t> window, char ref, char alt,
                         int flank) noexcept {
    const auto width = static_cast<std::size_t>(2 * flank + 1);
    const auto centre = static_cast<std::size_t>(flank);
    bool start = false;
    bool end = false;
    bool other = false;
    for (std::size_t i = 0; i < width; ++i) {
        if (i == centre)
            continue;
        const std::int16_t byte = window[i];
        if (byte < 0)
            (i < centre ? start : end) = true;
        else if (byte >= 16)
            other = true;
    }
    if (end)
        return -1 - static_cast<std::int64_t>(SbsReason::near_end);
    if (start)
        return -1 - static_cast<std::int64_t>(SbsReason::at_start);
    if (other)
        return -1 - static_cast<std::int64_t>(SbsReason::not_acgt);
    int r = base_code(ref);
    int a = base_code(alt);
    const bool purine = r == 0 || r == 2; // read on the other strand
    if (purine) {
        r = 3 - r;
        a = 3 - a;
    }
    std::int64_t code = r == 1 ? (a == 0 ? 0 : a - 1) : 3 + a;
    // The left bases, then the right ones, as read on the strand of the pyrimidine.
    for (std::size_t k = 0; k < width; ++k) {
        if (k == centre)
            continue;
        const std::size_t i = purine ? width - 1 - k : k;
        const int base = window[i] & 3;
        code = code * 4 + (purine ? 3 - base : base);
    }
    return code;
}

} // namespace mutflank
