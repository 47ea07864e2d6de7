#include "io_ring.hpp"

#ifdef MUTFLANK_HAVE_IO_URING

#include <cerrno>
#include <fcntl.h>
#include <liburing.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace mutflank {
namespace {

constexpr unsigned ops_per_request = 3; // open, read, close

enum Op : std::uint64_t { op_open = 0, op_read = 1, op_close = 2 };

} // namespace

struct IoRing::Uring {
    ~Uring() {
        if (ready_)
            io_uring_queue_exit(&ring_);
    }

    bool init(unsigned max_requests) {
        io_uring_params params{};
        // Without SUBMIT_ALL the kernel would stop submitting at the first bad request.
        params.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_COOP_TASKRUN;
        if (io_uring_queue_init_params(max_requests * ops_per_request, &ring_, &params) != 0)
            return false;
        ready_ = true;
        io_uring_probe* probe = io_uring_get_probe_ring(&ring_);
        if (probe == nullptr)
            return false;
        const bool supported = io_uring_opcode_supported(probe, IORING_OP_OPENAT) &&
                               io_uring_opcode_supported(probe, IORING_OP_READ) &&
                               io_uring_opcode_supported(probe, IORING_OP_CLOSE);
        io_uring_free_probe(probe);
        if (!supported || !register_direct_slots(max_requests))
            return false;
        max_requests_ = max_requests;
        open_result_.resize(max_requests);
        read_result_.resize(max_requests);
        return true;
    }

    bool read(std::span<const Request> requests, std::span<bool> complete) {
        if (broken_ || requests.size() > max_requests_)
            return false;
        const auto n = static_cast<unsigned>(requests.size());
        for (unsigned i = 0; i < n; ++i) {
            const Request& r = requests[i];
            open_result_[i] = -ECANCELED;
            read_result_[i] = -ECANCELED;
            // Open into direct slot i; read through it even if the read fails, then close it.
            io_uring_sqe* open = io_uring_get_sqe(&ring_);
            io_uring_sqe* read = io_uring_get_sqe(&ring_);
            io_uring_sqe* close = io_uring_get_sqe(&ring_);
            if (open == nullptr || read == nullptr || close == nullptr)
                return fail();
            // O_NONBLOCK: a file under a lease fails at once instead of waiting in the ring;
            // the synchronous reader then waits for it. O_NOCTTY, should a path have become
            // a terminal since it was seen to be a regular file. (A direct descriptor refuses
            // O_CLOEXEC; it is never inherited anyway.)
            io_uring_prep_openat_direct(open, r.directory, r.path,
                                        O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, i);
            open->flags |= IOSQE_IO_LINK;
            io_uring_sqe_set_data64(open, std::uint64_t{i} * ops_per_request + op_open);
            io_uring_prep_read(read, static_cast<int>(i), r.into, r.length, r.offset);
            read->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
            io_uring_sqe_set_data64(read, std::uint64_t{i} * ops_per_request + op_read);
            io_uring_prep_close_direct(close, i);
            io_uring_sqe_set_data64(close, std::uint64_t{i} * ops_per_request + op_close);
        }
        const unsigned expected = n * ops_per_request;
        int submitted = 0;
        do {
            submitted = io_uring_submit_and_wait(&ring_, expected);
        } while (submitted == -EINTR);
        // Whatever was submitted is waited for, so no operation outlives this call.
        const bool all_submitted = submitted == static_cast<int>(expected);
        if (!reap(submitted > 0 ? static_cast<unsigned>(submitted) : 0) || !all_submitted)
            return fail();
        for (unsigned i = 0; i < n; ++i)
            complete[i] =
                open_result_[i] >= 0 && read_result_[i] == static_cast<int>(requests[i].length);
        return true;
    }

  private:
    // Makes room for `count` direct descriptors. liburing's io_uring_register_files_sparse
    // would raise the process's descriptor limit when it is below `count`; here the ring is
    // refused instead, and the reads go synchronously.
    bool register_direct_slots(unsigned count) {
        io_uring_rsrc_register slots{};
        slots.nr = count;
        slots.flags = IORING_RSRC_REGISTER_SPARSE;
        return ::syscall(__NR_io_uring_register, ring_.ring_fd, IORING_REGISTER_FILES2, &slots,
                         sizeof slots) == 0;
    }

    // Waits for `count` completions and records the open and read results.
    bool reap(unsigned count) {
        for (unsigned seen = 0; seen < count;) {
            io_uring_cqe* cqe = nullptr;
            const int rc = io_uring_wait_cqe(&ring_, &cqe);
            if (rc == -EINTR)
                continue;
            if (rc != 0)
                return false;
            const std::uint64_t data = io_uring_cqe_get_data64(cqe);
            const std::uint64_t index = data / ops_per_request;
            if (data % ops_per_request == op_open)
                open_result_[index] = cqe->res;
            if (data % ops_per_request == op_read)
                read_result_[index] = cqe->res;
            io_uring_cqe_seen(&ring_, cqe);
            ++seen;
        }
        return true;
    }

    bool fail() {
        broken_ = true;
        return false;
    }

    io_uring ring_{};
    bool ready_ = false;
    bool broken_ = false;
    unsigned max_requests_ = 0;
    std::vector<int> open_result_;
    std::vector<int> read_result_;
};

std::unique_ptr<IoRing> IoRing::create(unsigned max_requests) {
    auto uring = std::make_unique<Uring>();
    if (!uring->init(max_requests))
        return nullptr;
    return std::unique_ptr<IoRing>(new IoRing(std::move(uring)));
}

} // namespace mutflank

#else

namespace mutflank {

struct IoRing::Uring {
    bool read(std::span<const Request> /*requests*/, std::span<bool> /*complete*/) {
        return false;
    }
};

std::unique_ptr<IoRing> IoRing::create(unsigned /*max_requests*/) { return nullptr; }

} // namespace mutflank

#endif

namespace mutflank {

IoRing::IoRing(std::unique_ptr<Uring> uring) : uring_(std::move(uring)) {}
IoRing::~IoRing() = default;

bool IoRing::read(std::span<const Request> requests, std::span<bool> complete) {
    return uring_->read(requests, complete);
}

} // namespace mutflank
