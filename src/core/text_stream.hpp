// The text of one input, read once from a descriptor the caller opened: plain, gzip or bgzip
// (any number of gzip members), with a leading UTF-8 byte-order mark dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "byte_buffer.hpp"

namespace mutflank {

// Why the text could not be read. The command words the message (it names the input).
struct StreamFault {
    enum class Kind {
        read_failed,       // `code`: the errno of the failed read
        decompress_failed, // `code`: zlib's return code; `detail`: zlib's message, or empty
        gzip_cut,          // the input ended inside a gzip member
    };
    Kind kind;
    int code = 0;
    std::string detail;
};

class TextStream {
  public:
    // Reads `fd` (owned and kept open by the caller). `prefix`: bytes the caller already
    // read from it, which come first. `positioned`: the descriptor is a regular file, read
    // with positioned reads from offset `start` on (the prefix is then ignored), whatever
    // the descriptor's own offset.
    TextStream(int fd, std::string prefix, bool positioned, std::uint64_t start = 0);
    TextStream(TextStream&&) noexcept;
    TextStream& operator=(TextStream&&) noexcept;
    TextStream(const TextStream&) = delete;
    TextStream& operator=(const TextStream&) = delete;
    ~TextStream();

    // Reads up to `capacity` bytes of text into `out`; `got` is 0 only at the end.
    [[nodiscard]] std::optional<StreamFault> read(char* out, std::size_t capacity,
                                                  std::size_t& got);

  private:
    struct Inflater;
    struct BlockInflater;

    // Unpacks the BGZF block at the start of the unread input, when it is one and sound,
    // into `out` (what does not fit is kept for the next reads); false to leave it to zlib.
    bool try_block(char* out, std::size_t capacity, std::size_t& got);

    // Reads more raw bytes into `input_` (after what is left of it); sets raw_end_ at the end.
    [[nodiscard]] std::optional<StreamFault> fill();
    [[nodiscard]] std::optional<StreamFault> read_raw(char* out, std::size_t capacity,
                                                      std::size_t& got);
    [[nodiscard]] std::optional<StreamFault> read_gzip(char* out, std::size_t capacity,
                                                       std::size_t& got);

    int fd_;
    bool positioned_;
    std::uint64_t offset_ = 0; // of the next positioned read
    ByteBuffer input_;  // raw bytes read and not yet used: input_[used_ .. size)
    std::size_t used_ = 0;
    bool raw_end_ = false;
    bool started_ = false; // the format has been told and the BOM looked for
    bool gzip_ = false;
    bool bom_checked_ = false;
    std::string pending_; // unpacked text read while looking for the BOM
    std::unique_ptr<Inflater> inflater_;
    std::unique_ptr<BlockInflater> blocks_;
};

} // namespace mutflank
