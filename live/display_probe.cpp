#include "display_probe.h"

#include <opencv2/highgui.hpp>

#if !defined(_WIN32) && !defined(__APPLE__)
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace live {

DisplayProbe::Result DisplayProbe::connect(const std::atomic<int>& stopSignal, std::string& why) {
#if !defined(_WIN32) && !defined(__APPLE__)
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        why = "no display (DISPLAY is not set)";
        return Result::NoDisplay;
    }
    int ready[2], errors[2];
    if (pipe(ready) != 0 || pipe(errors) != 0) return Result::Connected;  // let the toolkit say it
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        // Ends with the program, however the program ends (SIGKILL included). The terminal's
        // Ctrl+C is the program's to answer, not this helper's.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        signal(SIGINT, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        close(ready[0]);
        close(errors[0]);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        dup2(errors[1], 2);
        cv::namedWindow("pixelwell-live", cv::WINDOW_AUTOSIZE);
        if (write(ready[1], "1", 1) == 1) pause();
        _exit(0);
    }
    close(ready[1]);
    close(errors[1]);
    char connected = 0;
    ssize_t got = -1;
    // A signal cuts the read short (no SA_RESTART); only a signal that stops the run ends it.
    while (child > 0 && (got = read(ready[0], &connected, 1)) < 0 && errno == EINTR && !stopSignal.load()) {
    }
    close(ready[0]);
    if (got == 1) {
        child_ = child;
        close(errors[0]);
        return Result::Connected;
    }
    if (stopSignal.load()) {
        close(errors[0]);
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        return Result::Stopped;
    }
    // The toolkit's own first words say why (no such display, no plugin, ...).
    std::string said(4096, '\0');
    got = read(errors[0], said.data(), said.size());
    close(errors[0]);
    said.resize(got > 0 ? static_cast<size_t>(got) : 0);
    said = said.substr(0, said.find('\n'));
    if (child > 0) waitpid(child, nullptr, 0);
    const char* display = std::getenv("DISPLAY");
    why = std::string("cannot open a window on display ") + (display ? display : "(Wayland)");
    if (!said.empty()) why += " (" + said + ")";
    return Result::NoDisplay;
#else
    (void)stopSignal;
    (void)why;
    return Result::Connected;
#endif
}

void DisplayProbe::release() {
#if !defined(_WIN32) && !defined(__APPLE__)
    if (child_ > 0) {
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
        child_ = -1;
    }
#endif
}

}  // namespace live
