// Both windows' pictures as PNG files: "pixelwell-<frame>-viewer.png" and
// "-processing.png". A picture never replaces a file unless asked to, and a picture not written
// whole (a full disk) is said, and not left behind cut short.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

namespace live {

// Writes up to `size` bytes; the count written, or -1 with errno (::write, or a test's).
using WriteFunction = std::function<ssize_t(int fd, const void* data, size_t size)>;

// The bytes as the file `path`, every write and the close checked; on failure a regular file
// is removed (never a device) and `why` holds the system's reason.
bool writeWholeFile(const std::string& path, const std::vector<uchar>& bytes, std::string& why,
                    const WriteFunction& write = {});

// Saves the preview and the result after frame `index` into `folder`; an existing name gets
// "-1", "-2", ... unless `overwrite`. Prints "saved NAME" for each on stdout, and
// "cannot save NAME: REASON" on stderr for one that could not be written. False when any failed.
bool savePictures(const std::string& folder, uint64_t index, const cv::Mat& preview, const cv::Mat& result,
                  bool overwrite, const WriteFunction& write = {});

}  // namespace live
