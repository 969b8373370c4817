#include "recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>

namespace live {

namespace {

using Clock = std::chrono::steady_clock;

std::string reason(int error) { return std::strerror(error); }

}  // namespace

struct Recorder::Shared {
    std::string path;
    std::string notesPath;
    WriteFunction write;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<uint8_t>> queue;
    int width = 0, height = 0;
    uint64_t accepted = 0;
    std::atomic<uint64_t> written{0};
    bool closing = false;
    std::atomic<bool> abandon{false};
    bool done = false;
    std::string failure;
    bool failed = false;
    bool writing = false;
    Clock::time_point lastProgress = Clock::now();  // the last byte taken, or work arriving at an idle thread
    std::string filter;
    Selections selections;
    bool notesDirty = false;

    // The thread's own.
    int fd = -1;
    bool created = false;  // the file was made by this run
    bool regular = false;

    void fail(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failed) failure = text;
        failed = true;
    }

    // Opens the file at the first frame. A FIFO with no reader yet is waited for (its open
    // would block), as long as nobody gives up.
    bool open() {
        for (;;) {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK, 0666);
            if (fd >= 0) {
                created = true;
            } else if (errno == EEXIST) {
                fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
            }
            if (fd >= 0) break;
            if (errno != ENXIO && errno != EINTR) {
                fail("cannot open --record " + path + ": " + reason(errno));
                return false;
            }
            if (abandon) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a FIFO with no reader yet
        }
        struct stat info {};
        regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
        if (regular) {
            // A file takes what it is given; only a pipe or a device is waited on.
            const int flags = fcntl(fd, F_GETFL);
            if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        }
        return true;
    }

    // The whole frame, or false with errno (EINTR when given up).
    bool writeAll(const uint8_t* data, size_t size) {
        size_t done = 0;
        while (done < size) {
            const ssize_t put = write ? write(fd, data + done, size - done) : ::write(fd, data + done, size - done);
            if (put > 0) {
                done += static_cast<size_t>(put);
                std::lock_guard<std::mutex> lock(mutex);
                lastProgress = Clock::now();
                continue;
            }
            if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
            if (put == 0) {
                errno = EIO;
                return false;
            }
            if (abandon) {
                errno = EINTR;
                return false;
            }
            pollfd wanted{fd, POLLOUT, 0};
            ::poll(&wanted, 1, 100);  // the reader's turn; given up within a tenth of a second
        }
        return true;
    }

    void writeNotes(uint64_t frames) {
        if (!regular || notesPath.empty()) return;
        Selections chosen;
        std::string command;
        {
            std::lock_guard<std::mutex> lock(mutex);
            chosen = selections;
            command = reproduceCommand(filter.empty() ? filterProgram() : filter, width, height, chosen, frames, path);
            notesDirty = false;
        }
        const std::string text = recordingNotes(command, width, height, path);
        // Whole or not at all: a new text replaces the old one in one step.
        const std::string temporary = notesPath + ".partial";
        const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        bool ok = out >= 0 && ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (out >= 0 && ::close(out) != 0) ok = false;
        if (ok && std::rename(temporary.c_str(), notesPath.c_str()) == 0) return;
        const int error = errno;
        ::unlink(temporary.c_str());
        fail("cannot write " + notesPath + ": " + reason(error ? error : EIO));
    }

    void run() {
        sigset_t signals;
        sigfillset(&signals);
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        const size_t frameBytes = static_cast<size_t>(width) * height * 3;
        bool broken = false;
        for (;;) {
            std::vector<uint8_t> frame;
            bool notes = false;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return !queue.empty() || closing || abandon || (notesDirty && fd >= 0); });
                if (abandon || broken || (queue.empty() && closing && !(notesDirty && fd >= 0))) break;
                if (!queue.empty()) {
                    frame = std::move(queue.front());
                    queue.pop_front();
                    writing = true;
                }
                notes = notesDirty;
            }
            changed.notify_all();
            if (!frame.empty()) {
                if (fd < 0 && !open()) break;
                if (!writeAll(frame.data(), frame.size())) {
                    const int error = errno;
                    if (abandon) break;
                    fail("cannot write " + path + " at frame " + std::to_string(written.load()) + ": " + reason(error));
                    broken = true;
                    break;
                }
                ++written;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    writing = false;
                }
                if (written == 1) notes = true;
            }
            if (notes && fd >= 0) writeNotes(UINT64_MAX);
        }
        if (fd >= 0) {
            // A file keeps whole frames only: a frame cut by a failure or a stop goes.
            if (regular && ftruncate(fd, static_cast<off_t>(written.load() * frameBytes)) != 0 && !broken)
                fail("cannot write " + path + ": " + reason(errno));
            if (::close(fd) != 0 && !broken && !abandon) fail("cannot write " + path + ": " + reason(errno));
            fd = -1;
            if (written == 0 && created && regular) {
                ::unlink(path.c_str());  // no empty recording to be refused next time
            } else if (written > 0) {
                writeNotes(written);
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        writing = false;
        queue.clear();
        changed.notify_all();
    }
};

Recorder::Recorder(std::string path, WriteFunction write) : shared_(std::make_shared<Shared>()) {
    shared_->path = std::move(path);
    shared_->write = std::move(write);
    shared_->notesPath = shared_->path + ".txt";
}

Recorder::~Recorder() {
    shared_->abandon = true;
    shared_->changed.notify_all();
}

bool Recorder::checkTarget(const std::string& path, const std::string& input, bool overwrite, std::string& why) {
    std::error_code failure;
    if (!input.empty() && std::filesystem::equivalent(input, path, failure) && !failure) {
        why = "--record " + path + " is the input: refused, it would be overwritten";
        return false;
    }
    const auto status = std::filesystem::status(path, failure);
    if (std::filesystem::is_directory(status)) {
        why = "cannot open --record " + path + ": " + reason(EISDIR);
        return false;
    }
    // Only a regular file holds anything to lose; a device or a pipe is written to as it is,
    // and has no notes beside it.
    const bool device = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    for (const std::string& file : {path, path + ".txt"}) {
        if (device && file != path) continue;
        if (std::filesystem::is_regular_file(file, failure) && !overwrite) {
            why = "--record " + path + (file == path ? "" : ": " + file) +
                  " exists: refused, it would be overwritten (-y or --overwrite replaces it)";
            return false;
        }
    }
    if (std::filesystem::exists(status)) {
        if (access(path.c_str(), W_OK) != 0) {
            why = "cannot open --record " + path + ": " + reason(errno);
            return false;
        }
        return true;
    }
    // Made at the first frame: the folder must be there, and writable, now.
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const std::string where = folder.empty() ? "." : folder.string();
    if (access(where.c_str(), W_OK | X_OK) != 0) {
        why = "cannot open --record " + path + ": " + reason(errno);
        return false;
    }
    return true;
}

bool Recorder::full() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->queue.size() >= kQueueFrames;
}

void Recorder::add(std::vector<uint8_t> frame, int width, int height) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->closing || shared_->failed) return;
    if (shared_->accepted == 0) {
        shared_->width = width;
        shared_->height = height;
        std::thread([shared = shared_] { shared->run(); }).detach();
    }
    if (shared_->queue.empty() && !shared_->writing) shared_->lastProgress = Clock::now();
    shared_->queue.push_back(std::move(frame));
    ++shared_->accepted;
    shared_->changed.notify_all();
}

void Recorder::setSelections(const std::string& filter, const Selections& selections) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->filter = filter;
    shared_->selections = selections;
    shared_->notesDirty = true;
    shared_->changed.notify_all();
}

void Recorder::close() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closing = true;
    shared_->changed.notify_all();
}

void Recorder::finish(const std::function<bool()>& hurry) {
    close();
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (shared_->accepted == 0) return;  // no thread was started
    Clock::time_point abandonedAt{};
    while (!shared_->done) {
        shared_->changed.wait_for(lock, std::chrono::milliseconds(50));
        if (shared_->done) break;
        if (!shared_->abandon) {
            lock.unlock();
            const bool giveUp = hurry && hurry();
            lock.lock();
            if (giveUp) {
                shared_->abandon = true;
                abandonedAt = Clock::now();
                shared_->changed.notify_all();
            }
        } else if (Clock::now() - abandonedAt > std::chrono::seconds(1)) {
            // Given up, the thread leaves within a tenth of a second; a file system that holds
            // it longer is left to the process's end.
            return;
        }
    }
}

const std::string& Recorder::path() const { return shared_->path; }
int Recorder::width() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->width;
}
int Recorder::height() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->height;
}
uint64_t Recorder::accepted() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->accepted;
}
uint64_t Recorder::written() const { return shared_->written.load(); }
bool Recorder::closed() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->closing;
}
bool Recorder::failed() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->failed;
}
std::string Recorder::takeFailure() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return std::exchange(shared_->failure, std::string());
}
bool Recorder::blockedFor(double seconds) const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return !shared_->done && (!shared_->queue.empty() || shared_->writing) &&
           std::chrono::duration<double>(Clock::now() - shared_->lastProgress).count() >= seconds;
}

}  // namespace live
