// The extraction core: mutation tables and reference windows in, rows out.
// Knows nothing of Python; every failure is returned as an Error value.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"

namespace mutflank {

// The bases on either side of a position, decoded to A, C, G, T, N or a space.
struct Flanks {
    std::string left;
    std::string right;

    friend bool operator==(const Flanks&, const Flanks&) = default;
};

// One output row: "field0::field1" and a context string such as "AC[C>T]TA".
struct Row {
    std::string key;
    std::string context;

    friend bool operator==(const Row&, const Row&) = default;
};

// How reference windows are read. `automatic` batches the open, read and close of many
// windows through io_uring where the kernel allows it, and otherwise reads each window
// with its own system calls; `synchronous` always does the latter; `batched` uses the ring
// even for a single window (where it can be set up). Results and errors are the same.
enum class WindowIo { automatic, synchronous, batched };

// Reads the window of `half_width` bases around 1-based `position` from
// `<root>/<build>/<chromosome>.txt` (one byte per base). The window is clamped at the
// chromosome start; the left flank holds the bases before the position, the right flank
// the `half_width` bases after it. The file is opened and closed by this call.
[[nodiscard]] Result<Flanks> read_flanks(std::string_view root, std::string_view build,
                                         std::string_view chromosome, std::uint64_t position,
                                         std::uint64_t half_width,
                                         WindowIo io = WindowIo::automatic);

// Receives rows as the scanner makes them. The views are valid only during the call.
// `ascii` is true when both texts are pure ASCII (otherwise they are valid UTF-8).
// Returning false stops the scan, which then reports ErrorKind::stopped.
class RowSink {
  public:
    virtual ~RowSink() = default;
    virtual bool add(std::string_view key, std::string_view context, bool ascii) = 0;
};

// What the scans of one call share: how reference windows are read, the io_uring set up once
// the call has queued enough records to pay for it, and buffers reused from table to table.
// Make one per call, pass it to the call's scans in list order, and destroy it before the call
// returns; it holds descriptors only while it lives, and after a failed scan it may be
// destroyed or used for further scans. Each scan reads its table's windows completely before
// it returns, so nothing of one table is pending while the next list element is looked at.
class ScanSession {
  public:
    explicit ScanSession(WindowIo io = WindowIo::automatic);
    ~ScanSession();
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    // Whether windows are being read through an io_uring at the moment.
    [[nodiscard]] bool uses_ring() const noexcept;

    struct State; // scanner.cpp
    [[nodiscard]] State& state() noexcept { return *state_; }

  private:
    std::unique_ptr<State> state_;
};

// Scans one mutation table and hands every qualifying record's row to `sink`, in line
// order. Returns the first failure, or nothing when the whole file was read. On failure,
// rows already handed over belong to a scan that failed and must be discarded by the caller.
[[nodiscard]] std::optional<Error> scan_file(std::string_view table_path, std::string_view root,
                                             std::uint64_t half_width, RowSink& sink,
                                             ScanSession& session);

// The same for a call of one table.
[[nodiscard]] std::optional<Error> scan_file(std::string_view table_path, std::string_view root,
                                             std::uint64_t half_width, RowSink& sink,
                                             WindowIo io = WindowIo::automatic);

// The same scan, collecting the file's rows.
[[nodiscard]] Result<std::vector<Row>> scan_file(std::string_view table_path,
                                                 std::string_view root, std::uint64_t half_width,
                                                 WindowIo io = WindowIo::automatic);

} // namespace mutflank
