// The nearest OpenCV 4 pipeline of each mode, one thread, with the same ring copy and the
// same 32-bit output so that the work matches what processFrame does.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <functional>
#include <string>

#include "bench_frames.h"
#include "dispatcher.h"

namespace pixelwell::bench {

namespace {

struct Pipeline {
    const char* mode;
    // (frame, current slot, previous slots, output) -> draws the output
    std::function<void(const cv::Mat&, const cv::Mat* ring, int slot, cv::Mat& out)> run;
};

cv::Mat slotMat(Core& core, int slot, int width, int height) {
    return cv::Mat(height, width, CV_8UC3, core.FrameRing[slot & 7].data());
}

// filter values -> min/max normalise -> histogram -> stretch LUT -> BGRA, as the filters do.
void normaliseAndShow(const cv::Mat& values, cv::Mat& out) {
    static cv::Mat levels, hist, mapped;
    double lo = 0, hi = 0;
    cv::minMaxLoc(values, &lo, &hi);
    const double scale = hi > lo ? 255.0 / (hi - lo) : 1.0;
    values.convertTo(levels, CV_8U, scale, -lo * scale);
    const int channels[] = {0};
    const int bins[] = {256};
    const float range[] = {0, 256};
    const float* ranges[] = {range};
    cv::calcHist(&levels, 1, channels, cv::Mat(), hist, 1, bins, ranges);
    const float tail = static_cast<float>(levels.total() / 20);
    int low = 0, high = 255;
    float sum = 0;
    for (int l = 0; l < 256; ++l)
        if ((sum += hist.at<float>(l)) < tail) low = l;
    sum = 255;
    for (int l = 255; l >= 1; --l)
        if ((sum += hist.at<float>(l)) < tail) high = l;
    cv::Mat lut(1, 256, CV_8U);
    for (int l = 0; l < 256; ++l)
        lut.at<uint8_t>(l) = l <= low ? 0 : l >= high ? 255 : static_cast<uint8_t>(255 * (l - low) / std::max(1, high - low));
    cv::LUT(levels, lut, mapped);
    cv::cvtColor(mapped, out, cv::COLOR_GRAY2BGRA);
}

cv::Mat toGray(const cv::Mat& frame) {
    static cv::Mat gray;
    cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
    return gray;
}

void filterPipeline(const cv::Mat& frame, cv::Mat& out, const cv::Mat& kernel) {
    static cv::Mat values;
    cv::filter2D(toGray(frame), values, CV_16S, kernel);
    normaliseAndShow(values, out);
}

cv::Mat kernel3(std::initializer_list<float> w, float divisor) {
    cv::Mat k(3, 3, CV_32F);
    auto it = w.begin();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) k.at<float>(r, c) = *it++ / divisor;
    return k;
}

void averagePipeline(const cv::Mat* ring, int slot, int count, cv::Mat& out) {
    static cv::Mat sum, mean;
    ring[slot & 7].convertTo(sum, CV_16U);
    for (int k = 1; k < count; ++k) cv::add(sum, ring[(slot + 8 - k) & 7], sum, cv::noArray(), CV_16U);
    sum.convertTo(mean, CV_8U, 1.0 / count);
    cv::cvtColor(mean, out, cv::COLOR_BGR2BGRA);
}

std::vector<Pipeline> pipelines() {
    static cv::Mat a, b, c;
    return {
        {"normal", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) { cv::cvtColor(f, o, cv::COLOR_BGR2BGRA); }},
        {"invert", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::bitwise_not(f, a);
             cv::cvtColor(a, o, cv::COLOR_BGR2BGRA);
         }},
        {"average2", [](const cv::Mat&, const cv::Mat* r, int s, cv::Mat& o) { averagePipeline(r, s, 2, o); }},
        {"average4", [](const cv::Mat&, const cv::Mat* r, int s, cv::Mat& o) { averagePipeline(r, s, 4, o); }},
        {"average8", [](const cv::Mat&, const cv::Mat* r, int s, cv::Mat& o) { averagePipeline(r, s, 8, o); }},
        {"frame-diff", [](const cv::Mat&, const cv::Mat* r, int s, cv::Mat& o) {
             cv::subtract(r[s & 7], r[(s + 7) & 7], a);
             cv::add(a, cv::Scalar::all(127), a);
             cv::cvtColor(a, o, cv::COLOR_BGR2BGRA);
         }},
        {"simple-diff", [](const cv::Mat& f, const cv::Mat* r, int s, cv::Mat& o) {
             cv::absdiff(f, r[(s + 1) & 7], a);
             cv::cvtColor(a, o, cv::COLOR_BGR2BGRA);
         }},
        {"diff", [](const cv::Mat& f, const cv::Mat* r, int s, cv::Mat& o) {
             static cv::Mat wide, squares, sum, mask;
             cv::absdiff(f, r[(s + 1) & 7], a);
             a.convertTo(wide, CV_32S);
             cv::multiply(wide, wide, squares);
             cv::transform(squares, sum, cv::Matx13f(1, 1, 1));
             cv::compare(sum, 360, mask, cv::CMP_GT);
             f.copyTo(a, mask);
             cv::cvtColor(a, o, cv::COLOR_BGR2BGRA);
         }},
        {"gray", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) { cv::cvtColor(toGray(f), o, cv::COLOR_GRAY2BGRA); }},
        {"laplacian-a", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             filterPipeline(f, o, kernel3({0, -1, 0, -1, 4, -1, 0, -1, 0}, 1));
         }},
        {"laplacian-b", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             filterPipeline(f, o, kernel3({-1, -1, -1, -1, 8, -1, -1, -1, -1}, 1));
         }},
        {"laplacian-c", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             filterPipeline(f, o, kernel3({1, -2, 1, -2, 4, -2, 1, -2, 1}, 1));
         }},
        {"sobel-x", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::Sobel(toGray(f), b, CV_16S, 1, 0);
             normaliseAndShow(b, o);
         }},
        {"sobel-y", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::Sobel(toGray(f), b, CV_16S, 0, 1);
             normaliseAndShow(b, o);
         }},
        {"lowpass3", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             filterPipeline(f, o, kernel3({1, 1, 1, 1, 1, 1, 1, 1, 1}, 9));
         }},
        {"highpass3", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             filterPipeline(f, o, kernel3({-1, -1, -1, -1, 8, -1, -1, -1, -1}, 9));
         }},
        {"lowpass5", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             filterPipeline(f, o, cv::Mat(5, 5, CV_32F, cv::Scalar(1.0 / 25)));
         }},
        {"highpass5", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::Mat k(5, 5, CV_32F, cv::Scalar(-1.0 / 25));
             k.at<float>(2, 2) = 24.0f / 25;
             filterPipeline(f, o, k);
         }},
        {"min3", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::erode(toGray(f), c, cv::Mat());
             cv::cvtColor(c, o, cv::COLOR_GRAY2BGRA);
         }},
        {"max3", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::dilate(toGray(f), c, cv::Mat());
             cv::cvtColor(c, o, cv::COLOR_GRAY2BGRA);
         }},
        {"median3", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::medianBlur(toGray(f), c, 3);
             cv::cvtColor(c, o, cv::COLOR_GRAY2BGRA);
         }},
        {"mean3", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             cv::blur(toGray(f), c, cv::Size(3, 3));
             cv::cvtColor(c, o, cv::COLOR_GRAY2BGRA);
         }},
        {"binarize", [](const cv::Mat& f, const cv::Mat*, int, cv::Mat& o) {
             static cv::Mat levels, hist;
             const cv::Mat gray = toGray(f);
             double lo = 0, hi = 0;
             cv::minMaxLoc(gray, &lo, &hi);
             const double scale = hi > lo ? 255.0 / (hi - lo) : 1.0;
             gray.convertTo(levels, CV_8U, scale, -lo * scale);
             const int channels[] = {0};
             const int bins[] = {256};
             const float range[] = {0, 256};
             const float* ranges[] = {range};
             cv::calcHist(&levels, 1, channels, cv::Mat(), hist, 1, bins, ranges);
             float sum = 0;
             int median = 255;
             for (int l = 0; l < 256; ++l)
                 if ((sum += hist.at<float>(l)) >= levels.total() / 2) {
                     median = l;
                     break;
                 }
             cv::threshold(levels, c, median - 1, 255, cv::THRESH_BINARY);
             cv::cvtColor(c, o, cv::COLOR_GRAY2BGRA);
         }},
    };
}

void runOpenCv(benchmark::State& state, const Pipeline& pipeline, int32_t width, int32_t height) {
    cv::setNumThreads(1);
    const Clip& clip = clipOf(width, height);
    // The ring of a core as the Windows program has it, 1280x1280.
    Core core({kMaxSide, kMaxSide}, SurfaceSource::Lent);
    lendSurface(core, benchSurface());
    setFrameGeometry(core, width, height);
    const auto length = static_cast<int32_t>(clip.frames[0].size());
    cv::Mat ring[8];
    for (int s = 0; s < 8; ++s) ring[s] = slotMat(core, s, width, height);
    // The surface region, rows 5120 bytes apart, as the program's output.
    cv::Mat out(height, width, CV_8UC4, surfaceRow(core, 0, height), kSurfaceStride);
    size_t n = 0;
    for (auto _ : state) {
        const uint8_t* frame = clip.frames[n % 8].data();
        const int slot = static_cast<int>(++n & 7);
        storeFrame(core, frame, length, slot);
        const cv::Mat input(height, width, CV_8UC3, const_cast<uint8_t*>(frame));
        pipeline.run(input, ring, slot, out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{length});
}

}  // namespace

void registerOpenCvBenchmarks() {
    static const std::vector<Pipeline> all = pipelines();
    const int32_t sizes[][2] = {{320, 240}, {640, 480}, {1280, 1280}};
    for (const auto& size : sizes)
        for (const Pipeline& p : all)
            benchmark::RegisterBenchmark(
                (std::string("opencv/") + p.mode + "/" + std::to_string(size[0]) + "x" + std::to_string(size[1])).c_str(),
                runOpenCv, p, size[0], size[1])
                ->Unit(benchmark::kMillisecond);
}

}  // namespace pixelwell::bench
