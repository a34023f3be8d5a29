#include "SegmentNames.h"

#include <cstdlib>

namespace KEL {

const char *const kCommandSegmentName = "KEL_COMMANDBUFFER";
const char *const kTextureSegmentName = "KEL_TEXTUREBUFFER";
const char *const kDataSegmentName = "KEL_DATABUFFER";

std::string segmentName(const char *baseName) {
    std::string name(baseName);
    const char *suffix = std::getenv("KEL_SEGMENT_SUFFIX");
    if (suffix && *suffix)
        name += suffix;
    return name;
}

std::string lockName(const std::string &segmentName) {
    return segmentName + "_MUTEX";
}

} // namespace KEL
