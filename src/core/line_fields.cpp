#include "line_fields.hpp"

#include <cstring>

#include "byte_masks.hpp"

namespace mutflank {
namespace {

// The masks of the line's bytes base to base + 63; the bytes past the line's end count as
// neither tabs nor non-ASCII.
ByteMasks masks_at(std::string_view line, std::size_t base) noexcept {
    constexpr std::size_t window_size = 64;
    if (line.size() - base >= window_size)
        return byte_masks(line.data() + base);
    char padded[window_size] = {};
    std::memcpy(padded, line.data() + base, line.size() - base);
    return byte_masks(padded);
}

} // namespace

void LineFields::split(std::string_view line) noexcept {
    line_ = line;
    bool ascii = true;
    std::size_t base = find_tabs([&](std::size_t at) {
        const ByteMasks m = masks_at(line, at);
        ascii = ascii && m.ascii;
        return m.tabs;
    });
    for (; ascii && base < line.size(); base += window_size) // the rest, for the UTF-8 check
        ascii = masks_at(line, base).ascii;
    text_ = ascii ? Utf8::ascii : check_utf8(line);
}

} // namespace mutflank
