#include "window_batch.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "unique_fd.hpp"

namespace mutflank {
namespace {

// An offset of 2^63 or more would mean "the current position" to the ring, and a window
// longer than a slot does not fit; both, and paths with a NUL, are read synchronously.
bool ring_can_take(const std::string& path, const Window& window) {
    return window.start <= max_file_offset && window.length <= IoRing::slot_bytes &&
           path.find('\0') == std::string::npos;
}

// The kinds of files a call remembers; a table naming more distinct reference files than
// this makes the call look at some of them again.
constexpr std::size_t remembered_paths = 4096;

} // namespace

WindowBatch::WindowBatch(WindowIo io)
    : ring_wanted_(io != WindowIo::synchronous), ring_for_one_(io == WindowIo::batched) {
    entries_.resize(ring_wanted_ ? batch_size : 1);
}

bool WindowBatch::regular_file(const std::string& path) {
    const auto known = regular_.find(path);
    if (known != regular_.end())
        return known->second;
    if (regular_.size() >= remembered_paths)
        regular_.clear();
    // stat() reads nothing and opens nothing, so it has no effect on a FIFO or a device,
    // even for a record that an earlier failure keeps the synchronous reader from reaching.
    struct stat status {};
    const bool regular = ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    regular_.emplace(path, regular);
    return regular;
}

void WindowBatch::add(std::string_view path, const Window& window) {
    Entry& entry = entries_[count_++];
    entry.path.assign(path);
    entry.window = window;
    entry.in_ring = false;
    entry.complete = false;
    ++queued_;
}

void WindowBatch::read_all() {
    // Setting up a ring costs about as much as reading a few dozen windows one at a time,
    // so a call only gets one when it has queued a whole batch.
    if (!ring_wanted_ || (queued_ < batch_size && !ring_for_one_))
        return;
    if (slots_.empty()) {
        slots_.resize(batch_size * IoRing::slot_bytes);
        complete_ = std::make_unique<bool[]>(batch_size);
        requests_.reserve(batch_size);
    }
    requests_.clear();
    for (std::size_t i = 0; i < count_; ++i) {
        Entry& e = entries_[i];
        if (!ring_can_take(e.path, e.window) || !regular_file(e.path))
            continue;
        e.in_ring = true;
        e.slot = requests_.size();
        requests_.push_back({AT_FDCWD, e.path.c_str(), e.window.start,
                             static_cast<std::uint32_t>(e.window.length),
                             slots_.data() + e.slot * IoRing::slot_bytes});
    }
    // No descriptor for a ring that no queued window can use.
    if (requests_.empty())
        return;
    if (!ring_) {
        ring_ = IoRing::create(batch_size);
        if (!ring_) {
            ring_wanted_ = false; // one attempt per call
            return;
        }
    }
    if (!ring_->read(requests_, {complete_.get(), requests_.size()})) {
        release_descriptors(); // the rest of this call reads synchronously
        return;
    }
    for (std::size_t i = 0; i < count_; ++i) {
        Entry& e = entries_[i];
        e.complete = e.in_ring && complete_[e.slot];
    }
}

bool WindowBatch::release_descriptors() noexcept {
    ring_wanted_ = false;
    if (!ring_)
        return false;
    ring_.reset();
    return true;
}

Result<std::string_view> WindowBatch::bytes(std::size_t i) {
    const Entry& e = entries_[i];
    if (e.complete)
        return std::string_view{slots_.data() + e.slot * IoRing::slot_bytes,
                                static_cast<std::size_t>(e.window.length)};
    // Not for the ring, or its read failed: the synchronous reader reads it again and so
    // reports exactly its own error (or, if the file changed meanwhile, reads it after all).
    // A NUL would silently cut the path short.
    if (e.path.find('\0') != std::string::npos)
        return io_error(messages::open_reference);
    UniqueFd fd{open_reference(AT_FDCWD, e.path.c_str())};
    // The synchronous reader needs one descriptor; the ring must not be the reason it lacks it.
    if (!fd.valid() && out_of_descriptors(errno) && release_descriptors())
        fd = UniqueFd{open_reference(AT_FDCWD, e.path.c_str())};
    if (!fd.valid())
        return io_error(messages::open_reference);
    if (auto error = reader_.read(fd.get(), e.window))
        return *error;
    return reader_.bytes();
}

Result<Flanks> read_flanks(std::string_view root, std::string_view build,
                           std::string_view chromosome, std::uint64_t position,
                           std::uint64_t half_width, WindowIo io) {
    std::string path;
    reference_path(root, build, chromosome, path);
    const Window window = window_around(position, half_width);
    WindowBatch batch(io);
    batch.add(path, window);
    batch.read_all();
    const auto bytes = batch.bytes(0);
    if (!bytes.ok())
        return bytes.error();
    const auto mid = static_cast<std::size_t>(window.position_index);
    Flanks flanks;
    for (std::size_t i = 0; i < mid; ++i)
        flanks.left += decode_base(static_cast<unsigned char>(bytes.value()[i]));
    for (std::size_t i = mid + 1; i < bytes.value().size(); ++i)
        flanks.right += decode_base(static_cast<unsigned char>(bytes.value()[i]));
    return flanks;
}

} // namespace mutflank
