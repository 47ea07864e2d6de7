#include "text_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

namespace mutflank {
namespace {

constexpr std::size_t raw_chunk = std::size_t{1} << 18;
constexpr std::string_view bom = "\xEF\xBB\xBF";

// A BGZF block (a gzip member whose extra field holds 'BC' and the member's size, as bgzip
// writes them): its size, or 0 when the bytes do not start one.
std::size_t bgzf_block_size(const unsigned char* data, std::size_t size) {
    constexpr std::size_t header = 18;
    if (size < header || data[0] != 0x1F || data[1] != 0x8B || data[2] != 8 ||
        (data[3] & 4) == 0 || data[10] != 6 || data[11] != 0 || data[12] != 'B' ||
        data[13] != 'C' || data[14] != 2 || data[15] != 0)
        return 0;
    return (std::size_t{data[16]} | std::size_t{data[17]} << 8) + 1;
}

std::uint32_t little_endian32(const unsigned char* data) {
    return std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16 |
           std::uint32_t{data[3]} << 24;
}

} // namespace

// libdeflate unpacks whole BGZF blocks, two to three times faster than zlib's stream.
struct TextStream::BlockInflater {
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    std::vector<char> block; // a block unpacked that did not fit where it was asked for
    std::size_t given = 0;   // of `block`, handed out

    BlockInflater() {
        if (decompressor == nullptr)
            throw std::bad_alloc();
    }
    BlockInflater(const BlockInflater&) = delete;
    BlockInflater& operator=(const BlockInflater&) = delete;
    ~BlockInflater() { libdeflate_free_decompressor(decompressor); }

    // Unpacks the complete BGZF block `data` of `size` bytes into `out` (room for 65,536
    // bytes); false when it is not a sound block (zlib then reads it and words the fault).
    bool unpack(const unsigned char* data, std::size_t size, char* out, std::size_t& got) {
        constexpr std::size_t header = 18;
        constexpr std::size_t trailer = 8;
        if (size < header + trailer)
            return false;
        const std::uint32_t crc = little_endian32(data + size - trailer);
        const std::uint32_t length = little_endian32(data + size - 4);
        if (length > std::size_t{1} << 16)
            return false;
        std::size_t unpacked = 0;
        if (libdeflate_deflate_decompress(decompressor, data + header, size - header - trailer,
                                          out, length, &unpacked) != LIBDEFLATE_SUCCESS ||
            unpacked != length || libdeflate_crc32(0, out, unpacked) != crc)
            return false;
        got = unpacked;
        return true;
    }
};

struct TextStream::Inflater {
    z_stream stream{};
    bool member_open = false; // bytes of a member fed and its end not seen
    bool after_member = false;

    Inflater() {
        if (inflateInit2(&stream, 15 + 16) != Z_OK)
            throw std::bad_alloc();
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() { inflateEnd(&stream); }
};

TextStream::TextStream(int fd, std::string prefix, bool positioned, std::uint64_t start)
    : fd_(fd), positioned_(positioned), offset_(start), input_(prefix.begin(), prefix.end()) {
    if (positioned_)
        input_.clear();
}
TextStream::TextStream(TextStream&&) noexcept = default;
TextStream& TextStream::operator=(TextStream&&) noexcept = default;
TextStream::~TextStream() = default;

std::optional<StreamFault> TextStream::fill() {
    if (used_ > 0) {
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used_));
        used_ = 0;
    }
    const std::size_t have = input_.size();
    input_.resize(have + raw_chunk);
    for (;;) {
        const ssize_t n = positioned_
                              ? ::pread(fd_, input_.data() + have, raw_chunk,
                                        static_cast<off_t>(offset_))
                              : ::read(fd_, input_.data() + have, raw_chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            input_.resize(have);
            return StreamFault{StreamFault::Kind::read_failed, error, {}};
        }
        input_.resize(have + static_cast<std::size_t>(n));
        offset_ += static_cast<std::uint64_t>(n);
        if (n == 0)
            raw_end_ = true;
        return std::nullopt;
    }
}

std::optional<StreamFault> TextStream::read_raw(char* out, std::size_t capacity,
                                                std::size_t& got) {
    got = 0;
    if (used_ == input_.size() && !raw_end_) {
        if (auto fault = fill())
            return fault;
    }
    got = std::min(capacity, input_.size() - used_);
    std::memcpy(out, input_.data() + used_, got);
    used_ += got;
    return std::nullopt;
}

std::optional<StreamFault> TextStream::read_gzip(char* out, std::size_t capacity,
                                                 std::size_t& got) {
    got = 0;
    Inflater& z = *inflater_;
    if (blocks_ && blocks_->given < blocks_->block.size()) {
        got = std::min(capacity, blocks_->block.size() - blocks_->given);
        std::memcpy(out, blocks_->block.data() + blocks_->given, got);
        blocks_->given += got;
        return std::nullopt;
    }
    for (;;) {
        if (used_ == input_.size()) {
            if (raw_end_) {
                if (z.member_open)
                    return StreamFault{StreamFault::Kind::gzip_cut, 0, {}};
                return std::nullopt;
            }
            if (auto fault = fill())
                return fault;
            continue;
        }
        if (z.after_member) {
            // Zeros after a member, up to the end of what was read, are padding.
            const auto* first = input_.data() + used_;
            const auto* last = input_.data() + input_.size();
            if (std::all_of(first, last, [](char c) { return c == '\0'; })) {
                used_ = input_.size();
                continue;
            }
            z.after_member = false;
            inflateReset(&z.stream);
        }
        if (!z.member_open && try_block(out, capacity, got)) {
            z.after_member = true;
            if (got > 0)
                return std::nullopt;
            continue;
        }
        z.stream.next_in = reinterpret_cast<Bytef*>(input_.data() + used_);
        const auto available = static_cast<uInt>(std::min<std::size_t>(input_.size() - used_,
                                                                         UINT32_MAX));
        z.stream.avail_in = available;
        z.stream.next_out = reinterpret_cast<Bytef*>(out);
        z.stream.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, UINT32_MAX));
        z.member_open = true;
        const int status = inflate(&z.stream, Z_NO_FLUSH);
        used_ += available - z.stream.avail_in;
        got = static_cast<std::size_t>(reinterpret_cast<char*>(z.stream.next_out) - out);
        if (status == Z_STREAM_END) {
            z.member_open = false;
            z.after_member = true;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            return StreamFault{StreamFault::Kind::decompress_failed, status,
                               z.stream.msg != nullptr ? z.stream.msg : ""};
        }
        if (got > 0)
            return std::nullopt;
    }
}

bool TextStream::try_block(char* out, std::size_t capacity, std::size_t& got) {
    auto* data = reinterpret_cast<const unsigned char*>(input_.data() + used_);
    std::size_t size = bgzf_block_size(data, input_.size() - used_);
    if (size == 0)
        return false;
    while (input_.size() - used_ < size && !raw_end_) { // the rest of the block
        if (fill())
            return false; // zlib reads on and meets the fault itself
    }
    if (input_.size() - used_ < size)
        return false; // cut short: zlib tells how
    data = reinterpret_cast<const unsigned char*>(input_.data() + used_);
    if (!blocks_)
        blocks_ = std::make_unique<BlockInflater>();
    BlockInflater& blocks = *blocks_;
    constexpr std::size_t most = std::size_t{1} << 16;
    if (capacity >= most) {
        if (!blocks.unpack(data, size, out, got))
            return false;
    } else {
        blocks.block.resize(most);
        std::size_t unpacked = 0;
        if (!blocks.unpack(data, size, blocks.block.data(), unpacked)) {
            blocks.block.clear(); // nothing of it is handed out
            return false;
        }
        blocks.block.resize(unpacked);
        got = std::min(capacity, unpacked);
        std::memcpy(out, blocks.block.data(), got);
        blocks.given = got;
    }
    used_ += size;
    return true;
}

std::optional<StreamFault> TextStream::read(char* out, std::size_t capacity, std::size_t& got) {
    got = 0;
    if (!started_) {
        started_ = true;
        while (input_.size() < 2 && !raw_end_) {
            if (auto fault = fill())
                return fault;
        }
        gzip_ = input_.size() >= 2 && static_cast<unsigned char>(input_[0]) == 0x1F &&
                static_cast<unsigned char>(input_[1]) == 0x8B;
        if (gzip_)
            inflater_ = std::make_unique<Inflater>();
    }
    if (!bom_checked_) {
        // The text's first three bytes, gathered here and then handed out from `pending`.
        bom_checked_ = true;
        std::string head;
        char buffer[3];
        while (head.size() < 3) {
            std::size_t n = 0;
            auto fault = gzip_ ? read_gzip(buffer, 3 - head.size(), n)
                               : read_raw(buffer, 3 - head.size(), n);
            if (fault)
                return fault;
            if (n == 0)
                break;
            head.append(buffer, n);
        }
        if (head == bom)
            head.clear();
        if (!head.empty()) {
            if (gzip_) {
                pending_ = head;
            } else {
                // Raw text: put the bytes back in front of the input.
                input_.insert(input_.begin() + static_cast<std::ptrdiff_t>(used_), head.begin(),
                              head.end());
            }
        }
    }
    if (!pending_.empty()) {
        got = std::min(capacity, pending_.size());
        std::memcpy(out, pending_.data(), got);
        pending_.erase(0, got);
        return std::nullopt;
    }
    return gzip_ ? read_gzip(out, capacity, got) : read_raw(out, capacity, got);
}

} // namespace mutflank
