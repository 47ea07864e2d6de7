// Linked open -> read -> close of many reference windows through one io_uring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace mutflank {

class IoRing {
  public:
    // The longest window a ring slot holds; longer windows are read synchronously.
    static constexpr std::size_t slot_bytes = 512;

    struct Request {
        int directory;        // `path` is relative to this folder handle, or AT_FDCWD
        const char* path;     // NUL-terminated, alive until read() returns
        std::uint64_t offset; // at most max_file_offset
        std::uint32_t length; // at most slot_bytes
        char* into;           // room for `length` bytes, alive until read() returns
    };

    // A ring for up to `max_requests` requests at a time, or nullptr where io_uring cannot be
    // used (no kernel support, a sandbox that forbids it, an operation missing, a descriptor
    // limit below `max_requests`). Making it changes no process-wide state: it takes one
    // process descriptor (the ring's own) and never raises a limit.
    [[nodiscard]] static std::unique_ptr<IoRing> create(unsigned max_requests);

    ~IoRing();
    IoRing(const IoRing&) = delete;
    IoRing& operator=(const IoRing&) = delete;

    // Opens, reads and closes every request's file, each through a direct descriptor (no
    // process descriptor is used). Sets complete[i] when request i delivered all its bytes
    // into its buffer. Returns false when the ring itself failed; it must then not be used
    // again, and no request counts as complete. Only regular files may be given: a read from
    // a FIFO would wait for data, and a stream ignores the offset.
    [[nodiscard]] bool read(std::span<const Request> requests, std::span<bool> complete);

    // Not polymorphic on purpose: a ring is destroyed when descriptors have run out, where
    // UndefinedBehaviorSanitizer's check of a dynamic type (which needs a pipe) cannot run.
    struct Uring; // io_ring.cpp

  private:
    explicit IoRing(std::unique_ptr<Uring> uring);
    std::unique_ptr<Uring> uring_;
};

} // namespace mutflank
