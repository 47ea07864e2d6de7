#include "window_batch.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// A handle on the build folder `path`, or an invalid one where opening below it could differ
// from opening by the full path: a symbolic link on the way (the full path's walk may follow
// only 40 of them in all), no such folder, or a kernel without openat2.
UniqueFd folder_handle(const std::string& path) {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EINTR)
            return UniqueFd{static_cast<int>(fd)};
    }
}

} // namespace

WindowBatch::WindowBatch(WindowIo io)
    : ring_wanted_(io != WindowIo::synchronous), ring_for_one_(io == WindowIo::batched),
      folders_wanted_(io != WindowIo::synchronous) {
    entries_.resize(ring_wanted_ ? batch_size : 1);
}

WindowBatch::Place WindowBatch::place(const Entry& entry) {
    const Place full{AT_FDCWD, entry.path.c_str()};
    // A full path the kernel refuses as too long must still be refused.
    if (!folders_wanted_ || entry.path.size() >= PATH_MAX)
        return full;
    const std::string_view folder(entry.path.data(), entry.folder_length);
    if (last_folder_ >= folders_.size() || folders_[last_folder_].path != folder) {
        last_folder_ = 0;
        while (last_folder_ < folders_.size() && folders_[last_folder_].path != folder)
            ++last_folder_;
        if (last_folder_ == folders_.size()) {
            std::string path(folder);
            UniqueFd handle = folder_handle(path);
            folders_.push_back({std::move(path), std::move(handle)});
        }
    }
    const Folder& found = folders_[last_folder_];
    if (!found.handle.valid())
        return full;
    // "<folder>/<name>": a name that starts with "/" continues the path all the same.
    std::size_t name = entry.folder_length + 1;
    while (entry.path[name] == '/')
        ++name;
    return {found.handle.get(), entry.path.c_str() + name};
}

bool WindowBatch::regular_file(const Entry& entry) {
    const auto known = regular_.find(entry.path);
    if (known != regular_.end())
        return known->second;
    if (regular_.size() >= remembered_paths)
        regular_.clear();
    // stat() reads nothing and opens nothing, so it has no effect on a FIFO or a device,
    // even for a record that an earlier failure keeps the synchronous reader from reaching.
    const Place where = place(entry);
    struct stat status {};
    const bool regular =
        ::fstatat(where.directory, where.name, &status, 0) == 0 && S_ISREG(status.st_mode);
    regular_.emplace(entry.path, regular);
    return regular;
}

void WindowBatch::add(std::string_view path, std::size_t folder_length, const Window& window) {
    Entry& entry = entries_[count_++];
    entry.path.assign(path);
    entry.folder_length = folder_length;
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
        if (!ring_can_take(e.path, e.window) || !regular_file(e))
            continue;
        e.in_ring = true;
        e.slot = requests_.size();
        const Place where = place(e);
        requests_.push_back({where.directory, where.name, e.window.start,
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
    bool released = ring_ != nullptr;
    ring_wanted_ = false;
    ring_.reset();
    folders_wanted_ = false;
    for (const Folder& folder : folders_)
        released = released || folder.handle.valid();
    folders_.clear();
    return released;
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
    const Place where = place(e);
    UniqueFd fd{open_reference(where.directory, where.name)};
    // The synchronous reader needs one descriptor; the ring and the folder handles must not
    // be the reason it lacks it.
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
    const std::size_t folder_length = reference_path(root, build, chromosome, path);
    const Window window = window_around(position, half_width);
    WindowBatch batch(io);
    batch.add(path, folder_length, window);
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
