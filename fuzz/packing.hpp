// Text packed as gzip and as bgzip writes it, for the fuzz targets of the text scanners
// (harness.hpp) and the core's tests of the text stream (tests/core/test_vcf_scanner.cpp). A failure of zlib stops the process: these
// inputs are made, never read.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace mutflank::packing {

// Stops the process when zlib did not do what it was asked.
inline void zlib_ok(bool done, const char* what) {
    if (!done) {
        std::fprintf(stderr, "zlib failed: %s\n", what);
        std::abort();
    }
}

// `text` deflated whole into one string; `window_bits` as deflateInit2's (31: a gzip member,
// -15: raw deflate).
inline std::string deflated(std::string_view text, int window_bits) {
    z_stream stream{};
    zlib_ok(deflateInit2(&stream, 6, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) == Z_OK,
            "deflateInit2");
    std::string out(deflateBound(&stream, text.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    zlib_ok(deflate(&stream, Z_FINISH) == Z_STREAM_END, "deflate");
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// One gzip member of `text`.
inline std::string gzip(std::string_view text) { return deflated(text, 15 + 16); }

// `text` as bgzip writes it: BGZF blocks of at most `block` bytes of text (a gzip member
// each, whose extra field 'BC' holds the member's size less one), then the empty end block.
inline std::string bgzf(std::string_view text, std::size_t block) {
    std::string out;
    const auto little = [&out](std::uint64_t value, int bytes) {
        for (int k = 0; k < bytes; ++k)
            out += static_cast<char>((value >> (8 * k)) & 0xFF);
    };
    const auto member = [&out, &little](std::string_view part) {
        const std::string packed = deflated(part, -15);
        out += std::string("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
        little(18 + packed.size() + 8 - 1, 2);
        out += packed;
        little(
            crc32(0, reinterpret_cast<const Bytef*>(part.data()), static_cast<uInt>(part.size())),
            4);
        little(part.size(), 4);
    };
    for (std::size_t at = 0; at < text.size(); at += block)
        member(text.substr(at, block));
    member("");
    return out;
}

} // namespace mutflank::packing
