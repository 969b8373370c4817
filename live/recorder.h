// The recording: the frames handed to the core, written on a thread of its own through a short
// queue, so that a slow disk or a pipe nobody reads never holds up the windows. The file is
// made at the first frame (a run that records nothing leaves nothing), a failed write cuts a
// file back to whole frames, and NAME.txt beside it keeps the command that reproduces the run,
// current as the run goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reproduce.h"

namespace live {

class Recorder {
public:
    // Writes up to `size` bytes; returns the count written, or -1 with errno set (::write, or a
    // test's stand-in).
    using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

    explicit Recorder(std::string path, WriteFunction write = {});
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Before anything opens: an existing file (or its NAME.txt) is refused unless `overwrite`,
    // the input itself always, and a folder that is not there. False with the reason.
    static bool checkTarget(const std::string& path, const std::string& input, bool overwrite, std::string& why);

    // The queue is full: the next frame waits (the caller goes on taking keys and signals).
    bool full() const;
    // A frame, bottom-up B,G,R, width*height*3 bytes; every frame of one recording has one size.
    void add(std::vector<uint8_t> frame, int width, int height);
    // The choices so far, and the filter that reproduces them: NAME.txt is rewritten.
    void setSelections(const std::string& filter, const Selections& selections);
    // No more frames: the queue is written out, the file closed.
    void close();
    // Waits for the thread to write what it holds; once `hurry` says so (a signal), what is not
    // written by then is given up. Returns when the file is closed, or is left to the process's
    // end when the system will not let go of it.
    void finish(const std::function<bool()>& hurry);

    const std::string& path() const;
    int width() const;
    int height() const;
    uint64_t accepted() const;  // frames handed in
    uint64_t written() const;   // frames written whole
    bool closed() const;        // by close() (a size change) or finish()
    // The write or open that failed ("cannot write FILE at frame N: reason"), once; empty when
    // none did or it was taken already.
    std::string takeFailure();
    bool failed() const;
    // True when frames wait and nothing has been taken for `seconds` or longer.
    bool blockedFor(double seconds) const;

    static constexpr size_t kQueueFrames = 8;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace live
