// Linked open -> read -> close of many reference windows through one io_uring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace mutflank {

class IoRing {
  public:
    // The longest window a ring slot holds; longer windows are read synchronously.
    static constexpr std::size_t slot_bytes = 512;

    struct Request {
        const char* path; // NUL-terminated, alive until read() returns
        std::uint64_t offset;
        std::uint32_t length; // at most slot_bytes
    };

    // A ring for up to `max_requests` requests at a time, or nullptr where io_uring cannot be
    // used (no kernel support, a sandbox that forbids it, an operation missing).
    [[nodiscard]] static std::unique_ptr<IoRing> create(unsigned max_requests);

    virtual ~IoRing() = default;

    // Opens, reads and closes every request's file, each through a direct descriptor (no
    // process descriptor is used). Sets complete[i] when request i delivered all its bytes;
    // its bytes are then data(i). Returns false when the ring itself failed; it must then
    // not be used again, and no request counts as complete.
    [[nodiscard]] virtual bool read(std::span<const Request> requests,
                                    std::span<bool> complete) = 0;

    [[nodiscard]] virtual std::string_view data(std::size_t i, std::size_t length) const = 0;
};

} // namespace mutflank
