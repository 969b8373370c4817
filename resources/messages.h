// The program's own texts. The one place a person edits them is messages.cpp (UTF-8); the build
// compiles that file with -fexec-charset=CP932, so these are Shift-JIS bytes for the "A" functions.
#pragma once

namespace pixelwell {

// Window classes, titles and the capture window's name (plain ASCII).
extern const char kControlClassName[];
extern const char kResultClassName[];
extern const char kControlTitle[];
extern const char kResultTitle[];
extern const char kCaptureWindowName[];

// Start-up failures.
extern const char kTextNoVideoDevice[];
extern const char kTextNoCurrentDirectory[];
extern const char kTextNoDisplayBitmap[];
extern const char kCaptionStopped[];

// Failed capture queries.
extern const char kCaptionVfwError[];
extern const char kTextNoCaptureParameters[];
extern const char kTextNoCaptureStatus[];
extern const char kTextNoCaptureFormat[];

// Driver errors.
extern const char kTextDriverError[];
extern const char kCaptionDriverError[];
extern const char kFormatCaptureError[];  // printf: the text with its length (%.*s), then the id
extern const char kCaptionCaptureError[];

// Refused processing commands.
extern const char kTextFormatNot24Bit[];
extern const char kTextSizeTooLarge[];
extern const char kCaptionFormatError[];

}  // namespace pixelwell
