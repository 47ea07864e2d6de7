// Runs the core suites with reference windows read one way: `--io=synchronous` (the
// default) or `--io=batched` (through io_uring; skipped where the kernel refuses a ring).
#include <cstring>
#include <gtest/gtest.h>
#include <iostream>

#include "io_ring.hpp"
#include "support.hpp"

namespace mutflank::testing {

WindowIo& io_under_test() {
    static WindowIo io = WindowIo::synchronous;
    return io;
}

} // namespace mutflank::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--io=batched") == 0) {
            if (!mutflank::IoRing::create(1)) {
                std::cout << "io_uring is not available here: the batched suite is skipped\n";
                return 0;
            }
            mutflank::testing::io_under_test() = mutflank::WindowIo::batched;
        } else if (std::strcmp(argv[i], "--io=synchronous") != 0) {
            std::cerr << "unknown argument " << argv[i] << "\n";
            return 2;
        }
    }
    return RUN_ALL_TESTS();
}
