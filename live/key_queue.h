// Every key typed into the windows, in order. highgui's waitKey keeps only the last key of the
// events it handles in one call, so keys typed while a frame is being processed would be lost:
// where the toolkit is Qt, a filter on the application takes each key as it comes.
#pragma once

namespace live {

// Starts taking keys, once the windows exist; false where the toolkit offers no way (waitKey's
// own key is used then).
bool startKeyQueue();
// The oldest key not yet taken, in waitKeyEx's codes; false when none is waiting.
bool takeKey(int& key);

}  // namespace live
