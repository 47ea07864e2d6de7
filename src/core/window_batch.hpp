// Reference windows of several records, read together.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "io_ring.hpp"
#include "mutflank_core.hpp"
#include "reference_window.hpp"

namespace mutflank {

// Queues windows and reads them in batches. With a ring, every queued window is opened,
// read and closed by linked operations submitted at once. Windows the ring cannot take
// (offsets of 2^63 or more, windows longer than a ring slot, paths holding a NUL) and
// windows whose ring operations failed are read by the synchronous reader when their turn
// comes, so every error is exactly the synchronous reader's. The ring is set up on the
// first full batch; where it cannot be, every read is synchronous.
// With WindowIo::synchronous the batch holds one window and never uses a ring.
class WindowBatch {
  public:
    static constexpr std::size_t batch_size = 128;

    explicit WindowBatch(WindowIo io);

    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] bool full() const noexcept { return count_ == entries_.size(); }
    [[nodiscard]] bool uses_ring() const noexcept { return ring_ != nullptr; }

    // Queues a window of the file `path`. The batch must not be full.
    void add(std::string_view path, const Window& window);

    // Reads every queued window that the ring can take.
    void read_all();

    // The bytes of the i-th queued window, or its error. Call in queue order after read_all();
    // the view stays valid until the next call.
    [[nodiscard]] Result<std::string_view> bytes(std::size_t i);

    // Forgets the queued windows.
    void clear() noexcept { count_ = 0; }

  private:
    [[nodiscard]] bool start_ring();

    struct Entry {
        std::string path;
        Window window{};
        bool in_ring = false;  // submitted to the ring, as request `slot`
        bool complete = false; // and read whole
        std::size_t slot = 0;
    };

    bool ring_wanted_;
    bool ring_for_one_;
    std::unique_ptr<IoRing> ring_;
    std::vector<Entry> entries_;
    std::size_t count_ = 0;
    std::vector<IoRing::Request> requests_;
    std::unique_ptr<bool[]> complete_;
    WindowReader reader_;
};

} // namespace mutflank
