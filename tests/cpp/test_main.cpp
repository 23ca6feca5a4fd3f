// The C++ suite's main. In the host flavour GYRANT_SCHEDULE_SEED (a non-zero integer) runs every
// kernel of the suite under that seed's fuzzed schedule: results must not change with it.
#include "platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
#if defined(GYRANT_FLAVOUR_HOST)
    if (char const* text = std::getenv("GYRANT_SCHEDULE_SEED"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long long const seed = std::strtoull(text, &end, 0);
        if (errno != 0 || *end != '\0' || text[0] == '-') {
            std::fprintf(stderr, "GYRANT_SCHEDULE_SEED must be a non-negative integer, not '%s'\n", text);
            return 2;
        }
        gyrant::host::set_schedule_seed(seed);
        if (seed != 0) std::printf("schedule fuzzing with seed %llu\n", seed);
    }
#endif
    return RUN_ALL_TESTS();
}
