#pragma once
#include <string>

namespace KEL {

// Base names of the three segments.
extern const char *const kCommandSegmentName; // "KEL_COMMANDBUFFER"
extern const char *const kTextureSegmentName; // "KEL_TEXTUREBUFFER"
extern const char *const kDataSegmentName;    // "KEL_DATABUFFER"

// The name a segment goes by in this process: the base name followed by the value of
// KEL_SEGMENT_SUFFIX when it is set and not empty (read at every call). Both sides build names
// here so that several hosts, or parallel tests, never share segments.
std::string segmentName(const char *baseName);

// The name of a segment's lock: the segment's name followed by "_MUTEX".
std::string lockName(const std::string &segmentName);

} // namespace KEL
