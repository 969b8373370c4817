// Replays the fuzzer's committed corpus through the same event driver and invariant checks,
// so the native and the sanitizer suites cover it even where clang's libFuzzer is absent.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "core_events.h"
#include "frame_store.h"

namespace pixelwell::fuzz {
namespace {

std::vector<uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void replayDirectory(const char* name) {
    const std::filesystem::path directory = std::filesystem::path(PIXELWELL_FUZZ_DIR) / name;
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::vector<uint8_t> data = readFile(entry.path());
        runEvents(data.data(), data.size());  // aborts on a broken invariant
        ++inputs;
    }
    EXPECT_GT(inputs, 0) << "no inputs in " << directory;
}

class CorpusReplay : public ::testing::Test {
protected:
    void SetUp() override {
        startOver();
        allowEveryFullFrame();
    }
    void TearDown() override { EXPECT_EQ(eventCore().DisplaySurface, nullptr); }
};

TEST_F(CorpusReplay, SeedCorpusKeepsEveryInvariant) { replayDirectory("corpus"); }

TEST_F(CorpusReplay, FullSizeFramesKeepEveryInvariant) { replayDirectory("corpus-big"); }

// Fixed-seed random event streams: the same reading of bytes the fuzzer uses, on inputs no
// one wrote by hand.
TEST_F(CorpusReplay, RandomEventStreamsKeepEveryInvariant) {
    std::mt19937 random(20261207);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int input = 0; input < 200; ++input) {
        std::vector<uint8_t> data(64 + input % 200);
        for (uint8_t& b : data) b = static_cast<uint8_t>(byte(random));
        runEvents(data.data(), data.size());
    }
}

}  // namespace
}  // namespace pixelwell::fuzz
