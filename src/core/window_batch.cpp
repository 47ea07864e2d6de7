#include "window_batch.hpp"

namespace mutflank {
namespace {

// An offset of 2^63 or more would mean "the current position" to the ring, and a window
// longer than a slot does not fit; both, and paths with a NUL, are read synchronously.
bool ring_can_take(const std::string& path, const Window& window) {
    return window.start <= max_file_offset && window.length <= IoRing::slot_bytes &&
           path.find('\0') == std::string::npos;
}

} // namespace

WindowBatch::WindowBatch(WindowIo io)
    : ring_wanted_(io != WindowIo::synchronous), ring_for_one_(io == WindowIo::batched) {
    entries_.resize(ring_wanted_ ? batch_size : 1);
}

bool WindowBatch::start_ring() {
    if (ring_ || !ring_wanted_)
        return ring_ != nullptr;
    // Setting up a ring costs about as much as reading a few dozen windows one at a time,
    // so a table only gets one when it fills a whole batch.
    if (count_ < entries_.size() && !ring_for_one_)
        return false;
    ring_wanted_ = false; // one attempt per batch reader
    ring_ = IoRing::create(batch_size);
    if (!ring_)
        return false;
    requests_.reserve(batch_size);
    complete_ = std::make_unique<bool[]>(batch_size);
    return true;
}

void WindowBatch::add(std::string_view path, const Window& window) {
    Entry& entry = entries_[count_++];
    entry.path.assign(path);
    entry.window = window;
    entry.in_ring = false;
    entry.complete = false;
}

void WindowBatch::read_all() {
    if (!start_ring())
        return;
    requests_.clear();
    for (std::size_t i = 0; i < count_; ++i) {
        Entry& e = entries_[i];
        if (!ring_can_take(e.path, e.window))
            continue;
        e.in_ring = true;
        e.slot = requests_.size();
        requests_.push_back(
            {e.path.c_str(), e.window.start, static_cast<std::uint32_t>(e.window.length)});
    }
    if (requests_.empty())
        return;
    if (!ring_->read(requests_, {complete_.get(), requests_.size()})) {
        ring_.reset(); // the rest of this scan reads synchronously
        return;
    }
    for (std::size_t i = 0; i < count_; ++i) {
        Entry& e = entries_[i];
        e.complete = e.in_ring && complete_[e.slot];
    }
}

Result<std::string_view> WindowBatch::bytes(std::size_t i) {
    const Entry& e = entries_[i];
    if (e.complete)
        return ring_->data(e.slot, static_cast<std::size_t>(e.window.length));
    // Not for the ring, or its read failed: the synchronous reader reads it again and so
    // reports exactly its own error (or, if the file changed meanwhile, reads it after all).
    if (auto error = reader_.read(e.path, e.window))
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
