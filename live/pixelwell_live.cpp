// pixelwell-live: the processing core on a live camera, a video file or stream, a picture, or
// the simulated camera's test picture. Every frame reaches the core as the capture driver
// hands it to the Windows program. The rooms: options, the display probe, the sources and the
// capture thread, the pace and stall clocks, the processor, the recorder, snapshots, the
// windows, and the session that wires them together.
#include <opencv2/core/utils/logger.hpp>

#if !defined(_WIN32) && !defined(__APPLE__)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "options.h"
#include "session.h"

namespace {

void onStopSignal(int signal) {
    live::StopSignal.store(signal);
}
static_assert(std::atomic<int>::is_always_lock_free);

// Qt warns at every start when XDG_RUNTIME_DIR is unset, then uses the very folder made here.
void provideRuntimeDir() {
#if !defined(_WIN32) && !defined(__APPLE__)
    if (std::getenv("XDG_RUNTIME_DIR")) return;
    const std::string dir = "/tmp/runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    struct stat info {};
    if (lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
        (info.st_mode & 0777) == 0700)
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 0);
#endif
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
    // No SA_RESTART: a wait in the window thread returns, and the loop sees the flag. A reader
    // of the recording that goes away is a write error to report, not the end of the process.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
    if (!std::getenv("OPENCV_LOG_LEVEL")) cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    provideRuntimeDir();

    live::Options options;
    if (const int code = live::parseOptions(argc, argv, options); code >= 0) return code;

    live::Session session(options);
    const int code = session.run();
    if (session.captureStuck()) {
        // The capture thread waits inside the source and cannot be joined: end without it.
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
