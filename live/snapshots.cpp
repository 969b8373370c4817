#include "snapshots.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace live {

bool writeWholeFile(const std::string& path, const std::vector<uchar>& bytes, std::string& why,
                    const WriteFunction& write) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    // Only a regular file cut short is removed: a device (/dev/full) or a pipe is not ours.
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t put = write ? write(fd, bytes.data() + done, bytes.size() - done)
                                  : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            error = put < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(put);
    }
    // A file system may report a full disk only when the file is closed.
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0) return true;
    why = std::strerror(error);
    if (regular) ::unlink(path.c_str());
    return false;
}

bool savePictures(const std::string& folder, uint64_t index, const cv::Mat& preview, const cv::Mat& result,
                  bool overwrite, const WriteFunction& write) {
    bool saved = true;
    const std::pair<const char*, const cv::Mat*> pictures[] = {{"viewer", &preview}, {"processing", &result}};
    for (const auto& [which, picture] : pictures) {
        char name[64];
        std::snprintf(name, sizeof name, "/pixelwell-%06llu-%s", static_cast<unsigned long long>(index), which);
        const std::string stem = folder + name;
        std::string path = stem + ".png";
        std::error_code failure;
        for (int n = 1; !overwrite && std::filesystem::symlink_status(path, failure).type() !=
                                          std::filesystem::file_type::not_found;
             ++n)
            path = stem + "-" + std::to_string(n) + ".png";
        std::vector<uchar> png;
        std::string why;
        bool encoded = false;
        try {
            encoded = cv::imencode(".png", *picture, png);
        } catch (const cv::Exception& e) {
            why = e.err;
        }
        if (!encoded && why.empty()) why = "the picture could not be encoded";
        if (encoded && writeWholeFile(path, png, why, write)) {
            std::printf("saved %s%s\n", path.c_str(),
                        path != stem + ".png" ? (" (" + stem + ".png exists)").c_str() : "");
        } else {
            std::fprintf(stderr, "pixelwell-live: cannot save %s: %s\n", path.c_str(), why.c_str());
            saved = false;
        }
    }
    std::fflush(stdout);
    return saved;
}

}  // namespace live
