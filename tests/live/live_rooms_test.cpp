// The live viewer's rooms that need no display, on their own: the pace and stall clocks on
// made-up times, the recorder's and the snapshots' failures (a full disk, a closed pipe, a pipe
// nobody reads), the reproduce command for odd file names, and what the sources deliver.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "clock.h"
#include "dispatcher.h"
#include "frame_store.h"
#include "schedule.h"
#include "processor.h"
#include "recorder.h"
#include "snapshots.h"
#include "source.h"

namespace {

namespace fs = std::filesystem;
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// A fresh folder per test, removed after it.
class Folder {
public:
    Folder() {
        char name[] = "/tmp/live-rooms-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~Folder() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---------------------------------------------------------------------------------------------
// The pace clock

TEST(PaceClock, FixedRatePacesFromTheResumeAfterAStop) {
    live::PaceClock pace(30, false);
    double now = 100;
    EXPECT_DOUBLE_EQ(pace.due(kNone, now), now);
    for (int k = 1; k < 10; ++k) {
        const double due = pace.due(kNone, now);
        EXPECT_NEAR(due, 100 + k / 30.0, 1e-9);
        now = due;
    }
    // Stopped (SIGSTOP) for 5 s: the next frame is shown at once, the rest at 30 fps from there,
    // not 150 frames rushed to catch up.
    now += 5;
    EXPECT_DOUBLE_EQ(pace.due(kNone, now), now);
    const double resumed = now;
    for (int k = 1; k < 30; ++k) {
        const double due = pace.due(kNone, now);
        EXPECT_NEAR(due - resumed, k / 30.0, 1e-9) << "frame " << k << " after the resume";
        now = due;
    }
}

TEST(PaceClock, LateWithinTheSlackKeepsThePace) {
    live::PaceClock pace(10, false);
    pace.due(kNone, 0);
    // A frame that took a little long does not move the frames after it.
    EXPECT_NEAR(pace.due(kNone, 0.2), 0.1, 1e-9);
    EXPECT_NEAR(pace.due(kNone, 0.2), 0.2, 1e-9);
    EXPECT_NEAR(pace.due(kNone, 0.2), 0.3, 1e-9);
}

TEST(PaceClock, TimestampsGiveAVariableRateFileItsGaps) {
    live::PaceClock pace(30, true);
    // 15 frames at 30 fps, a 1.6 s gap, 15 more.
    std::vector<double> stamps;
    for (int k = 0; k < 15; ++k) stamps.push_back(k / 30.0);
    for (int k = 0; k < 15; ++k) stamps.push_back(14 / 30.0 + 1.6 + k / 30.0);
    double now = 7;
    std::vector<double> shown;
    for (const double stamp : stamps) {
        const double due = pace.due(stamp, now);
        shown.push_back(due);
        now = std::max(now, due);
    }
    for (size_t k = 1; k < shown.size(); ++k)
        EXPECT_NEAR(shown[k] - shown[k - 1], stamps[k] - stamps[k - 1], 1e-9) << "frame " << k;
}

TEST(PaceClock, TimestampsThatJumpOrGoBackRestartThePace) {
    live::PaceClock pace(0, true);
    EXPECT_DOUBLE_EQ(pace.due(0, 1), 1);
    EXPECT_NEAR(pace.due(0.5, 1), 1.5, 1e-9);
    EXPECT_DOUBLE_EQ(pace.due(3600, 1.5), 1.5);  // a joined file's clock: not an hour's wait
    EXPECT_DOUBLE_EQ(pace.due(2, 1.6), 1.6);     // backwards
    EXPECT_NEAR(pace.due(2.1, 1.6), 1.7, 1e-9);
}

TEST(PaceClock, NoRateAndNoTimestampIsAsItComes) {
    live::PaceClock unpaced(0, false);
    EXPECT_FALSE(unpaced.paced());
    EXPECT_DOUBLE_EQ(unpaced.due(kNone, 3), 3);
    live::PaceClock stampsOnly(0, true);
    EXPECT_DOUBLE_EQ(stampsOnly.due(kNone, 4), 4);
}

// ---------------------------------------------------------------------------------------------
// The stall clock

TEST(StallClock, ASteadySlowStreamIsNoStall) {
    // The stream says 25 fps (as an MPEG-TS header may), but sends a frame every 2 s.
    live::StallClock stall(25);
    double now = 0;
    int stalls = 0;
    for (int k = 0; k < 20; ++k) {
        stall.frameArrived(now);
        // Every 0.1 s until the next frame: is it called a stall?
        for (double t = now + 0.1; t < now + 2; t += 0.1)
            if (k >= 1 && stall.stalled(t, 0)) ++stalls;
        now += 2;
    }
    EXPECT_EQ(stalls, 0) << "threshold " << stall.stallAfter() << " s";
    EXPECT_NEAR(stall.stallAfter(), 6, 1e-9);
    // Silence of three intervals is one.
    EXPECT_FALSE(stall.stalled(now - 2 + 5.9, 0));
    EXPECT_TRUE(stall.stalled(now - 2 + 6.1, 0));
}

TEST(StallClock, AtLeastOneSecondAndTheStatedRateUntilThePaceIsKnown) {
    live::StallClock stall(30);
    EXPECT_DOUBLE_EQ(stall.stallAfter(), 1);
    stall.frameArrived(0);
    EXPECT_FALSE(stall.stalled(0.9, 0));
    EXPECT_TRUE(stall.stalled(1.1, 0));
    // Pacing is no silence: counted from when the frame was due.
    EXPECT_FALSE(stall.stalled(5.5, 5));
}

TEST(StallClock, OneLongGapDoesNotHideTheNextStall) {
    live::StallClock stall(0);
    double now = 0;
    for (int k = 0; k < 9; ++k, now += 0.04) stall.frameArrived(now);
    stall.frameArrived(now + 8);  // a stall of 8 s
    EXPECT_DOUBLE_EQ(stall.stallAfter(), 1);
}

TEST(StallClock, AHoldIsNobodysSilence) {
    live::StallClock stall(30);
    stall.frameArrived(0);
    stall.restartAt(10);  // frozen from 0 to 10
    EXPECT_FALSE(stall.stalled(10.5, 0));
}

// ---------------------------------------------------------------------------------------------
// The recorder

std::vector<uint8_t> frameOf(int width, int height, uint8_t value) {
    return std::vector<uint8_t>(static_cast<size_t>(width) * height * 3, value);
}

void finishNow(live::Recorder& recorder) {
    recorder.finish([] { return false; });
}

TEST(Recorder, AFullDeviceIsSaidWithTheFrameAndTheReason) {
    live::Recorder recorder("/dev/full");
    recorder.add(frameOf(16, 8, 1), 16, 8);
    finishNow(recorder);
    EXPECT_TRUE(recorder.failed());
    EXPECT_EQ(recorder.takeFailure(), "cannot write /dev/full at frame 0: No space left on device");
    EXPECT_EQ(recorder.written(), 0u);
}

TEST(Recorder, AFullDiskKeepsTheWholeFramesAndTheCommand) {
    Folder folder;
    const std::string path = folder / "full disk.raw";
    // The disk fills after 65,536 bytes.
    size_t total = 0;
    live::Recorder recorder(path, [&](int fd, const void* data, size_t size) -> ssize_t {
        if (total >= 65536) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t put = ::write(fd, data, std::min(size, 65536 - total));
        if (put > 0) total += static_cast<size_t>(put);
        return put;
    });
    recorder.setSelections("pixelwell-filter", {{0, pixelwell::kModeGray}});
    const int width = 160, height = 120;  // 57,600 bytes a frame
    for (int k = 0; k < 4; ++k) recorder.add(frameOf(width, height, static_cast<uint8_t>(k)), width, height);
    finishNow(recorder);
    EXPECT_EQ(recorder.takeFailure(), "cannot write " + path + " at frame 1: No space left on device");
    EXPECT_EQ(recorder.written(), 1u);
    EXPECT_EQ(fs::file_size(path), 57600u) << "cut back to whole frames";
    const std::string notes = slurp(path + ".txt");
    EXPECT_NE(notes.find("pixelwell-filter --size 160x120 --mode gray -- '" + path + "' OUT\n"), std::string::npos)
        << notes;
}

TEST(Recorder, AReaderThatLeavesIsABrokenPipe) {
    live::Recorder recorder("/dev/null", [](int, const void*, size_t) -> ssize_t {
        errno = EPIPE;
        return -1;
    });
    recorder.add(frameOf(4, 4, 0), 4, 4);
    finishNow(recorder);
    EXPECT_EQ(recorder.takeFailure(), "cannot write /dev/null at frame 0: Broken pipe");
}

TEST(Recorder, NothingRecordedLeavesNoFile) {
    Folder folder;
    const std::string path = folder / "never.raw";
    {
        live::Recorder recorder(path);
        finishNow(recorder);
    }
    EXPECT_FALSE(fs::exists(path));
    // Made, but its first frame could not be written: removed, with its notes.
    live::Recorder recorder(path, [](int, const void*, size_t) -> ssize_t {
        errno = EIO;
        return -1;
    });
    recorder.add(frameOf(4, 4, 0), 4, 4);
    finishNow(recorder);
    EXPECT_TRUE(recorder.failed());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(path + ".txt"));
    std::string why;
    EXPECT_TRUE(live::Recorder::checkTarget(path, "", false, why)) << why;
}

TEST(Recorder, APipeNobodyReadsHoldsTheQueueNotTheCaller) {
    Folder folder;
    const std::string path = folder / "nobody.fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);  // open, never read
    ASSERT_GE(reader, 0);
    live::Recorder recorder(path);
    int added = 0;
    const auto start = std::chrono::steady_clock::now();
    while (!recorder.blockedFor(0.3) && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)) {
        if (!recorder.full()) {
            recorder.add(frameOf(160, 120, 0), 160, 120);
            ++added;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(recorder.blockedFor(0.3));
    EXPECT_TRUE(recorder.full());
    EXPECT_LE(added, static_cast<int>(live::Recorder::kQueueFrames) + 3);
    // Given up (a signal): the thread lets go.
    recorder.finish([] { return true; });
    EXPECT_FALSE(recorder.failed());
    EXPECT_LT(recorder.written(), static_cast<uint64_t>(added));
    ::close(reader);
}

TEST(Recorder, TargetsRefusedBeforeAnythingOpens) {
    Folder folder;
    std::string why;
    const std::string existing = folder / "existing.raw";
    std::ofstream(existing) << "keep";
    EXPECT_FALSE(live::Recorder::checkTarget(existing, "", false, why));
    EXPECT_NE(why.find("exists: refused"), std::string::npos) << why;
    EXPECT_TRUE(live::Recorder::checkTarget(existing, "", true, why));
    EXPECT_FALSE(live::Recorder::checkTarget(existing, existing, true, why));
    EXPECT_NE(why.find("is the input"), std::string::npos) << why;
    const std::string notes = folder / "fresh.raw.txt";
    std::ofstream(notes) << "a note of someone's";
    EXPECT_FALSE(live::Recorder::checkTarget(folder / "fresh.raw", "", false, why));
    EXPECT_TRUE(live::Recorder::checkTarget("/dev/full", "", false, why)) << why;
    EXPECT_FALSE(live::Recorder::checkTarget(folder / "nowhere/rec.raw", "", false, why));
    EXPECT_EQ(why, "cannot open --record " + (folder / "nowhere/rec.raw") + ": No such file or directory");
}

// ---------------------------------------------------------------------------------------------
// Snapshots

TEST(Snapshots, AFullDiskIsSaidAndLeavesNoCutFile) {
    std::string why;
    EXPECT_FALSE(live::writeWholeFile("/dev/full", std::vector<uchar>(70000, 1), why));
    EXPECT_EQ(why, "No space left on device");
    EXPECT_TRUE(fs::is_character_file("/dev/full")) << "a failed write removed the device";
    Folder folder;
    const std::string path = folder / "cut.png";
    size_t total = 0;
    EXPECT_FALSE(live::writeWholeFile(path, std::vector<uchar>(135000, 1), why,
                                      [&](int fd, const void* data, size_t size) -> ssize_t {
                                          if (total >= 65536) {
                                              errno = ENOSPC;
                                              return -1;
                                          }
                                          const ssize_t put = ::write(fd, data, std::min<size_t>(size, 65536));
                                          total += static_cast<size_t>(std::max<ssize_t>(put, 0));
                                          return put;
                                      }));
    EXPECT_EQ(why, "No space left on device");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(live::writeWholeFile(path, std::vector<uchar>(135000, 1), why));
    EXPECT_EQ(fs::file_size(path), 135000u);
}

TEST(Snapshots, SavePicturesSaysWhichFileFailed) {
    Folder folder;
    const cv::Mat picture(8, 8, CV_8UC3, cv::Scalar(1, 2, 3));
    testing::internal::CaptureStderr();
    const bool saved = live::savePictures(folder / "", 7, picture, picture, false,
                                          [](int, const void*, size_t) -> ssize_t {
                                              errno = ENOSPC;
                                              return -1;
                                          });
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(saved);
    EXPECT_NE(said.find("cannot save " + (folder / "") + "/pixelwell-000007-viewer.png: No space left on device"),
              std::string::npos)
        << said;
    EXPECT_FALSE(fs::exists(folder / "pixelwell-000007-viewer.png"));
}

// ---------------------------------------------------------------------------------------------
// The processor: a held frame through another operation

// A frozen run's re-run through every operation shows what that operation would have shown had
// it been chosen just before the held frame, and the run then goes on as if nothing happened.
TEST(Processor, ARerunShowsTheHeldFrameAsIfChosenBeforeItAndLeavesTheRunAsItWas) {
    const int width = 37, height = 21;
    std::vector<cv::Mat> frames(7);
    for (auto& f : frames) {
        f.create(height, width, CV_8UC3);
        cv::randu(f, 0, 256);
    }
    // The same frames through a processor choosing `mode` before frame `at`, composed after `upTo`.
    auto reference = [&](int32_t first, int32_t mode, size_t at, size_t upTo) {
        live::Processor p;
        p.setSize(width, height);
        p.select(first);
        for (size_t k = 0; k <= upTo; ++k) {
            if (k == at) p.select(mode);
            p.process(frames[k]);
        }
        cv::Mat out;
        p.compose(out);
        return out;
    };
    live::Processor processor;
    processor.setSize(width, height);
    EXPECT_FALSE(processor.rerun(pixelwell::kModeSobelX)) << "no frame held yet";
    processor.select(pixelwell::kModeAverage4);
    for (size_t k = 0; k < 5; ++k) processor.process(frames[k]);
    for (const auto& info : pixelwell::ModeTable) {
        if (!pixelwell::modeSelectsOperation(info.id)) {
            EXPECT_FALSE(processor.rerun(info.id)) << info.name;
            continue;
        }
        ASSERT_TRUE(processor.rerun(info.id)) << info.name;
        cv::Mat shown;
        processor.compose(shown);
        EXPECT_EQ(cv::norm(shown, reference(pixelwell::kModeAverage4, info.id, 4, 4), cv::NORM_INF), 0) << info.name;
    }
    // The run itself did not move: its next frame draws what it would have drawn.
    processor.process(frames[5]);
    cv::Mat next;
    processor.compose(next);
    EXPECT_EQ(cv::norm(next, reference(pixelwell::kModeAverage4, pixelwell::kModeAverage4, 0, 5), cv::NORM_INF), 0);
}

// ---------------------------------------------------------------------------------------------
// Sources

class Sources : public testing::Test {
protected:
    void ffmpeg(const std::string& arguments) {
        ASSERT_EQ(std::system(("ffmpeg -loglevel error -y " + arguments).c_str()), 0) << arguments;
    }
    std::unique_ptr<live::FrameSource> open(const std::string& path) {
        std::string error;
        auto source = live::openInput(path, stop_, error);
        EXPECT_TRUE(source) << path << ": " << error;
        return source;
    }
    Folder folder_;
    std::atomic<bool> stop_{false};
};

TEST_F(Sources, AVariableRateFileCarriesItsTimestamps) {
    const std::string path = folder_ / "vfr.mkv";
    ffmpeg("-f lavfi -i testsrc=size=64x48:rate=30 -frames:v 30 -vf \"setpts='N/30/TB+gt(N\\,14)*1.6/TB'\" "
           "-fps_mode vfr -c:v ffv1 '" + path + "'");
    auto source = open(path);
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->timed());
    std::vector<double> stamps;
    cv::Mat frame;
    double stamp;
    std::string why;
    while (source->read(frame, stamp, why) == live::ReadResult::Frame) stamps.push_back(stamp);
    ASSERT_EQ(stamps.size(), 30u);
    EXPECT_NEAR(stamps[15] - stamps[14], 1.6 + 1 / 30.0, 0.002);
    EXPECT_NEAR(stamps[29] - stamps[15], 14 / 30.0, 0.002);
}

TEST_F(Sources, AnImageSequencePlaysAt25) {
    for (int k = 0; k < 3; ++k)
        cv::imwrite(folder_ / ("shot_" + std::to_string(k) + ".png"), cv::Mat(8, 8, CV_8UC3, cv::Scalar(k, k, k)));
    auto source = open(folder_ / "shot_%d.png");
    ASSERT_TRUE(source);
    EXPECT_DOUBLE_EQ(source->nominalFps(), live::kSequenceFps);
    EXPECT_FALSE(source->timed());
}

TEST_F(Sources, AFileWhoseNameHoldsPercentDIsAFile) {
    const std::string path = folder_ / "50%discount.mkv";
    ffmpeg("-f lavfi -i testsrc=size=64x48:rate=30 -frames:v 3 -c:v ffv1 '" + path + "'");
    EXPECT_FALSE(live::isSequencePattern(path));
    EXPECT_TRUE(live::isSequencePattern(folder_ / "shot_%03d.png"));
    auto source = open(path);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->kind(), live::SourceKind::File);
    EXPECT_EQ(source->description(), "50%discount.mkv (FFmpeg)");
}

TEST_F(Sources, APictureIsAStillDeliveredOnce) {
    const std::string path = folder_ / "picture.png";
    cv::imwrite(path, cv::Mat(6, 10, CV_8UC3, cv::Scalar(10, 20, 30)));
    auto source = open(path);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->kind(), live::SourceKind::Still);
    cv::Mat frame;
    double stamp;
    std::string why;
    EXPECT_EQ(source->read(frame, stamp, why), live::ReadResult::Frame);
    EXPECT_EQ(frame.size(), cv::Size(10, 6));
    EXPECT_EQ(source->read(frame, stamp, why), live::ReadResult::End);
    // A Motion-JPEG stream starts as a JPEG does; its name says it is no picture.
    const std::string stream = folder_ / "clip.mjpeg";
    ffmpeg("-f lavfi -i testsrc=size=64x48:rate=30 -frames:v 3 -c:v mjpeg -f mjpeg '" + stream + "'");
    EXPECT_FALSE(live::isStillPicture(stream));
}

TEST_F(Sources, APhoneVideoIsTurnedAsItsRotationSays) {
    const std::string plain = folder_ / "plain.mp4", turned = folder_ / "turned.mp4";
    ffmpeg("-f lavfi -i testsrc=size=64x48:rate=30 -frames:v 2 -c:v mpeg4 -q:v 1 '" + plain + "'");
    ffmpeg("-i '" + plain + "' -c copy -metadata:s:v rotate=90 '" + turned + "'");
    // ffmpeg's own decoding turns it; so must ours, the same way.
    const std::string reference = folder_ / "reference.bgr";
    ffmpeg("-i '" + turned + "' -frames:v 1 -f rawvideo -pix_fmt bgr24 '" + reference + "'");
    auto source = open(turned);
    ASSERT_TRUE(source);
    // Its display matrix says 90 degrees counterclockwise (ffprobe: "rotation=90").
    EXPECT_EQ(source->note(), "turned a quarter counterclockwise, as its rotation says");
    cv::Mat frame;
    double stamp;
    std::string why;
    ASSERT_EQ(source->read(frame, stamp, why), live::ReadResult::Frame);
    ASSERT_EQ(frame.size(), cv::Size(48, 64));
    const std::string bytes = slurp(reference);
    ASSERT_EQ(bytes.size(), 48u * 64 * 3);
    const cv::Mat expected(64, 48, CV_8UC3, const_cast<char*>(bytes.data()));
    cv::Mat difference;
    cv::absdiff(frame, expected, difference);
    EXPECT_LT(cv::mean(difference)[0], 4) << "our frame is not ffmpeg's turned frame";
}

}  // namespace
