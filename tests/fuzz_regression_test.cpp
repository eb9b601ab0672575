/*
 * fuzz_regression_test.cpp - the control fuzzer's inputs in the normal build: the seed corpus
 * (one valid use of each request) and every input that ever broke a rule. Each runs a whole
 * life of the driver; a verifier stop, a hang or anything left at unload stops the test
 * process (see tests/support/control_fuzz.h).
 */
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "control_fuzz.h"

namespace {

std::vector<uint8_t> ReadInput(const std::filesystem::path &Path) {
    std::ifstream in(Path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void RunInput(const std::vector<uint8_t> &Input) {
    CdwFuzzOneInput(Input.data(), Input.size());
}

} // namespace

TEST(ControlFuzzRegression, SeedCorpusRunsClean) {
    const std::filesystem::path corpus =
        std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
    size_t inputs = 0;
    for (const auto &entry : std::filesystem::directory_iterator(corpus)) {
        SCOPED_TRACE(entry.path().string());
        RunInput(ReadInput(entry.path()));
        inputs++;
    }
    EXPECT_GE(inputs, 10u);
    EXPECT_LE(inputs, CdwFuzzLifeCount());
}

/* The application asks for the cache-drive lock it holds, then records from that drive: the
 * second lock would wait for itself for ever and the recording for the application (the lock
 * is documented as not recursive). The harness gives the lock back first; every life ends. */
TEST(ControlFuzzRegression, LockHeldTwiceAndRecordingBehindTheLock) {
    const uint64_t lives = CdwFuzzLifeCount();
    RunInput({3, 0, 0, 4, 8, 0, 0, 0, 1, 0, 0, /* create cache drive D: */
              0, 0, 5, 8, 0, 0, 0, 1, 0, 0,    /* bind the recorder to it */
              0, 0, 6, 0, 0, 0, 0, 1, 0, 0,    /* lock */
              0, 0, 6, 0, 0, 0, 0, 1, 0, 0});  /* lock again */
    RunInput({3, 0, 0, 4, 8, 0, 0, 0, 1, 0, 0, 0, 0, 5,    8,    0, 0, 0, 1, 0, 0,
              0, 0, 6, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0x1C, 0x08, 8, 0, 1, 0, 0}); /* ... then record
                                                                                     from D: */
    EXPECT_EQ(lives + 2, CdwFuzzLifeCount());
}

/* Values the application chooses arrive at the platform as enumerations: a property type of
 * 0x08000009 (QUERY_PROPERTIES passes it through unchanged) and a storage query with
 * property 324 and query type 4. Every value must be a valid one (no undefined behaviour). */
TEST(ControlFuzzRegression, OutOfRangeEnumerationValuesFromTheApplication) {
    RunInput({1,    0,    0, 12, 0x18, 0x08, 0x18, 0x08, 1, 1, 9, 1, 7, 0, 0x08, /* properties */
              0,    5,    1, 12, 0,    0,    4,    0,    0, /* IOCTL_STORAGE_QUERY_PROPERTY, input
                                                               bytes: */
              0x44, 0x01, 0, 0,  4,    0,    0,    0,    0, 0, 0, 0});
}
