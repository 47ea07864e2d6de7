#include <cerrno>
#include <fcntl.h>
#include <string>
#include <vector>

#include "line_fields.hpp"
#include "line_reader.hpp"
#include "mutflank_core.hpp"
#include "record.hpp"
#include "unique_fd.hpp"
#include "window_batch.hpp"

namespace mutflank {

struct ScanSession::State {
    explicit State(WindowIo io) : windows(io) {}

    WindowBatch windows;
    std::vector<KeptRecord> records; // reused from batch to batch and from table to table
    std::string context;
};

ScanSession::ScanSession(WindowIo io) : state_(std::make_unique<State>(io)) {}
ScanSession::~ScanSession() = default;
bool ScanSession::uses_ring() const noexcept { return state_->windows.uses_ring(); }

namespace {

class CollectingSink final : public RowSink {
  public:
    bool add(std::string_view key, std::string_view context, bool /*ascii*/) override {
        rows.push_back(Row{std::string(key), std::string(context)});
        return true;
    }
    std::vector<Row> rows;
};

// Kept records wait here for their windows; rows leave strictly in line order, and the
// first failure in line order is the one reported.
class PendingRows {
  public:
    PendingRows(std::uint64_t half_width, ScanSession::State& session)
        : half_width_(half_width), windows_(session.windows), records_(session.records),
          context_(session.context) {}

    // The record to fill next; it joins the queue only through keep().
    KeptRecord& next() {
        if (count_ == records_.size())
            records_.emplace_back();
        return records_[count_];
    }

    // Queues the record filled through next(); when the batch is full, completes it.
    [[nodiscard]] std::optional<Error> keep(RowSink& sink) {
        const KeptRecord& record = records_[count_++];
        windows_.add(record.path, record.folder_length,
                     window_around(record.position, half_width_));
        return windows_.full() ? complete(sink) : std::nullopt;
    }

    // Reads the queued windows and hands their rows to `sink`, in order.
    [[nodiscard]] std::optional<Error> complete(RowSink& sink) {
        if (windows_.empty())
            return std::nullopt;
        windows_.read_all();
        const std::size_t n = count_;
        count_ = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const KeptRecord& record = records_[i];
            const auto bytes = windows_.bytes(i);
            if (!bytes.ok()) {
                windows_.clear();
                return bytes.error();
            }
            const Window window = window_around(record.position, half_width_);
            write_context(record, bytes.value(), static_cast<std::size_t>(window.position_index),
                          context_);
            if (!sink.add(record.key, context_, record.ascii)) {
                windows_.clear();
                return Error{ErrorKind::stopped, {}};
            }
        }
        windows_.clear();
        return std::nullopt;
    }

    // Forgets what is queued, after a failure.
    ~PendingRows() { windows_.clear(); }

  private:
    std::uint64_t half_width_;
    WindowBatch& windows_;
    std::vector<KeptRecord>& records_;
    std::size_t count_ = 0;
    std::string& context_;
};

int open_table(const std::string& path) {
    for (;;) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

} // namespace

std::optional<Error> scan_file(std::string_view table_path, std::string_view root,
                               std::uint64_t half_width, RowSink& sink, ScanSession& session) {
    ScanSession::State& state = session.state();
    const std::string path(table_path);
    // A NUL would silently cut the path short.
    if (path.find('\0') != std::string::npos)
        return io_error(messages::open_table);
    UniqueFd fd{open_table(path)};
    // Reading windows in batches must not be why a table cannot be opened.
    if (!fd.valid() && out_of_descriptors(errno) && state.windows.release_descriptors())
        fd = UniqueFd{open_table(path)};
    if (!fd.valid())
        return io_error(messages::open_table);

    LineReader reader(fd.get());
    PendingRows pending(half_width, state);
    // A failure of a line comes after the failures of the records before it.
    const auto fail = [&](const Error& error) -> std::optional<Error> {
        if (auto earlier = pending.complete(sink))
            return earlier;
        return error;
    };
    LineFields fields;
    for (;;) {
        switch (reader.next(fields)) {
        case LineReader::Status::end:
            return pending.complete(sink);
        case LineReader::Status::error:
            return fail(io_error(messages::read_line));
        case LineReader::Status::line:
            break;
        }
        if (fields.text() == Utf8::invalid)
            return fail(io_error(messages::read_line));
        if (!passes_filters(fields))
            continue;
        const auto verdict = judge_line(fields, root, pending.next());
        if (!verdict.ok())
            return fail(verdict.error());
        if (verdict.value() == Verdict::keep) {
            if (auto error = pending.keep(sink))
                return error;
        }
    }
}

std::optional<Error> scan_file(std::string_view table_path, std::string_view root,
                               std::uint64_t half_width, RowSink& sink, WindowIo io) {
    ScanSession session(io);
    return scan_file(table_path, root, half_width, sink, session);
}

Result<std::vector<Row>> scan_file(std::string_view table_path, std::string_view root,
                                   std::uint64_t half_width, WindowIo io) {
    CollectingSink sink;
    if (auto error = scan_file(table_path, root, half_width, sink, io))
        return *error;
    return std::move(sink.rows);
}

} // namespace mutflank
