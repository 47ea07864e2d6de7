// Reference windows of several records, read together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error.hpp"
#include "io_ring.hpp"
#include "mutflank_core.hpp"
#include "reference_window.hpp"
#include "unique_fd.hpp"

namespace mutflank {

// Queues windows and reads them in batches, for all the tables of one call. With a ring,
// every queued window that it can take is opened, read and closed by linked operations
// submitted at once; every other window, and every window whose ring operations failed, is
// read by the synchronous reader when its turn comes, so every row and every error is
// exactly the synchronous reader's.
//
// The ring only reads files this call has seen to be regular files (by their status, which
// reads nothing), so a FIFO, a device or a directory is only ever opened by the synchronous
// reader, in line order, and never on behalf of a record after a failure. It takes no
// window longer than a ring slot, no offset of 2^63 or more and no path holding a NUL.
//
// The ring is set up once the call has queued a whole batch of windows, and only when a
// queued window can use it; where it cannot be set up, every read is synchronous. It never
// needs more descriptors than the synchronous reader: when an open runs out of them,
// release_descriptors() closes the ring and the call goes on synchronously.
// Deep reference roots cost a walk over every folder of the root for each open. So each file
// is opened relative to a handle on its build folder, <root>/<build>, taken when the call
// first needs that folder, where that gives exactly the open of the full path: only for a
// root and build reached without following a symbolic link (a full path may follow 40 in
// all) and for a full path shorter than PATH_MAX (a longer one is refused by the kernel).
// A folder that cannot be taken so, is missing, or is no folder is opened by full paths.
//
// With WindowIo::synchronous the batch holds one window and never uses a ring or a folder
// handle; with WindowIo::batched the ring is set up for the first window already.
class WindowBatch {
  public:
    static constexpr std::size_t batch_size = 128;

    explicit WindowBatch(WindowIo io);

    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] bool full() const noexcept { return count_ == entries_.size(); }
    [[nodiscard]] bool uses_ring() const noexcept { return ring_ != nullptr; }

    // Queues a window of the file `path`, whose first `folder_length` bytes name its build
    // folder (as reference_path() returns). The batch must not be full.
    void add(std::string_view path, std::size_t folder_length, const Window& window);

    // Reads every queued window that the ring can take.
    void read_all();

    // The bytes of the i-th queued window, or its error. Call in queue order after read_all();
    // the view stays valid until the next call.
    [[nodiscard]] Result<std::string_view> bytes(std::size_t i);

    // Forgets the queued windows.
    void clear() noexcept { count_ = 0; }

    // Closes every descriptor the batch holds between reads (the ring's, the folder handles),
    // for an open that ran out of descriptors; the rest of the call reads synchronously, by
    // full paths. Returns whether one was closed, that is, whether the open is worth trying
    // again.
    bool release_descriptors() noexcept;

  private:
    struct Entry;

    // Where to open an entry's file: a folder handle and the name below it, or AT_FDCWD and
    // the full path.
    struct Place {
        int directory;
        const char* name;
    };
    [[nodiscard]] Place place(const Entry& entry);

    // Whether the call has seen the entry's file to be a regular file; looks at it the first
    // time.
    [[nodiscard]] bool regular_file(const Entry& entry);

    struct Entry {
        std::string path;
        std::size_t folder_length = 0;
        Window window{};
        bool in_ring = false;  // submitted to the ring, as request `slot`
        bool complete = false; // and read whole
        std::size_t slot = 0;
    };

    bool ring_wanted_;  // no ring was refused or released in this call
    bool ring_for_one_; // set the ring up for the first window already
    std::unique_ptr<IoRing> ring_;
    std::vector<Entry> entries_;
    std::size_t count_ = 0;
    std::uint64_t queued_ = 0; // windows queued in the whole call
    std::vector<IoRing::Request> requests_;
    std::unique_ptr<bool[]> complete_;
    std::vector<char> slots_; // the ring's bytes; they outlive a ring released mid-batch
    std::unordered_map<std::string, bool> regular_; // path -> seen to be a regular file

    struct Folder {
        std::string path; // <root>/<build>
        UniqueFd handle;  // not valid: open by full paths
    };
    bool folders_wanted_; // handles may be taken
    std::vector<Folder> folders_;
    std::size_t last_folder_ = 0;

    WindowReader reader_;
};

} // namespace mutflank
