/* The host header must also compile as strict C99 (no _Static_assert, no C11 features). */
#include "KELPlugin.h"

int kel_c99_command_size(void) {
    return (int)sizeof(KEL_Command);
}

int kel_c99_frame_size(void) {
    KEL_Frame frame;
    frame.rectCount = KEL_FRAME_MAX_RECTS;
    return (int)sizeof frame + frame.rectCount * 0;
}
