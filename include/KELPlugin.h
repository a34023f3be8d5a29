/*
 * KELPlugin.h - the host's interface to KEL, an off-screen web browser for games and tools.
 *
 * The host loads libKELPlugin.so, calls KEL_Init, starts the KELBrowser program (it lives in
 * ../bin relative to the library), calls KEL_InitProcess and from then on, once per host frame,
 * KEL_Update. Requests go out with KEL_PostCommand; notices and replies come back through the
 * process callback. Frames are copied out with KEL_UpdateTexture after a "UPVW" notice, or,
 * for a view switched onto its own frame area with "RATE", taken with KEL_TakeFrame.
 * KELLaunch.h (libKELHost.so) finds and starts the browser for you, with segment names of your
 * process's own, and hands the browser's output to your log callback.
 *
 * Threading: every function runs on the calling thread; callbacks run on the thread whose call
 * triggered them. Segment operations lock their segment, so posting, polling, payload and
 * texture calls may come from different threads. KEL_Init, KEL_Shutdown and the four callback
 * setters must not run concurrently with any other call.
 *
 * Failure: no function throws or aborts. Every function is a safe no-op (or returns its failure
 * value) before a successful KEL_Init and after KEL_Shutdown. When the browser process holds a
 * segment lock for too long (it hung or was stopped), the call gives up after a short bounded
 * wait and reports failure; a browser that died holding a lock does not block the host.
 *
 * Usable from C (C99) and C++.
 */
#ifndef KEL_PLUGIN_H
#define KEL_PLUGIN_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(KEL_BUILDING_PLUGIN)
#define KEL_API __attribute__((visibility("default")))
#else
#define KEL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes fixed by the shared-memory layout. */
#define KEL_COMMAND_INT_ARGS 16
#define KEL_COMMAND_STR_ARGS 16
#define KEL_COMMAND_STR_UNITS 256 /* UTF-16 code units per string argument, NUL included */

/*
 * One command record, 8296 bytes, identical in shared memory and in this interface.
 * Requests from the host: zero the record, set code (4 ASCII letters), the arguments and their
 * counts; leave sequence, origin and result at 0. Strings are UTF-16, NUL-terminated.
 * A payload (text, image) travels in the data segment and is named by two consecutive integer
 * arguments: slot index, byte length. Whoever receives a record takes each payload it names
 * (KEL_CopyAndFree): a notice's payloads, and of a reply only those its answer filled (EVJS's
 * value); the pairs of a request's own payloads come back as slot -1, length 0.
 * The notices JLOG, POPU and POPC carry the name of the view they came from in strArgs[0],
 * INVK in strArgs[2] (after the object and method names).
 */
typedef struct KEL_Command {
    uint32_t sequence; /* set by KEL_PostCommand; replies carry the request's number */
    char code[8];      /* 4 ASCII letters + NUL, rest zero */
    uint32_t origin;   /* 0 = host, 1 = browser process */
    int32_t intArgs[KEL_COMMAND_INT_ARGS];
    int32_t intCount;
    uint16_t strArgs[KEL_COMMAND_STR_ARGS][KEL_COMMAND_STR_UNITS];
    int32_t strCount;
    int32_t result; /* 0 = request or notice; in replies 1 = done, -1 = refused, 2 = resized */
    uint8_t reserved[12];
} KEL_Command;

/*
 * One copy out of the texture segment. Pixels are 4 bytes, R G B A (premultiplied alpha),
 * rows bottom first, packed without padding.
 */
typedef struct KEL_TextureUpdate {
    int32_t updated; /* out: 1 when pixels were copied, else 0 */
    void *pixels;    /* in: host buffer receiving the pixels */
    int32_t x;       /* out (rectangles): first column in the frame */
    int32_t y;       /* out (rectangles): frame height - first row - height */
    int32_t width;   /* in for whole frames (texture width), out for rectangles */
    int32_t height;  /* in for whole frames (texture height), out for rectangles */
} KEL_TextureUpdate;

/* Most changed rectangles one frame of a frame area carries; more are merged. */
#define KEL_FRAME_MAX_RECTS 16
/* Largest side, in painted pixels, of a frame in a frame area. */
#define KEL_FRAME_MAX_SIDE 4096

/* A changed rectangle of a frame, in painted pixels. */
typedef struct KEL_FrameRect {
    int32_t x;
    int32_t y; /* as in textures: frame height - first row - height */
    int32_t width;
    int32_t height;
} KEL_FrameRect;

/*
 * One frame of a view's frame area. Pixels are 4 bytes, R G B A (premultiplied alpha), rows
 * bottom first (as the texture segment), `stride` bytes apart.
 */
typedef struct KEL_Frame {
    const void *pixels; /* KEL_TakeFrame: in shared memory; KEL_CopyFrame: the host's buffer */
    int32_t width;      /* painted pixels: the view's size times its scale, 1..4096 */
    int32_t height;
    int32_t stride;        /* bytes from one row to the next */
    uint32_t number;       /* the view's frame number, one more for each finished frame */
    uint32_t changesSince; /* the rectangles cover every pixel that changed after this frame */
    int32_t rectCount;     /* 0..KEL_FRAME_MAX_RECTS; -1: treat the whole frame as changed */
    KEL_FrameRect rects[KEL_FRAME_MAX_RECTS]; /* within the frame */
} KEL_Frame;

#if defined(__cplusplus)
static_assert(sizeof(KEL_Command) == 8296, "KEL_Command layout");
static_assert(offsetof(KEL_Command, code) == 4, "KEL_Command layout");
static_assert(offsetof(KEL_Command, origin) == 12, "KEL_Command layout");
static_assert(offsetof(KEL_Command, intArgs) == 16, "KEL_Command layout");
static_assert(offsetof(KEL_Command, intCount) == 80, "KEL_Command layout");
static_assert(offsetof(KEL_Command, strArgs) == 84, "KEL_Command layout");
static_assert(offsetof(KEL_Command, strCount) == 8276, "KEL_Command layout");
static_assert(offsetof(KEL_Command, result) == 8280, "KEL_Command layout");
static_assert(offsetof(KEL_Command, reserved) == 8284, "KEL_Command layout");
static_assert(sizeof(KEL_TextureUpdate) == 32, "KEL_TextureUpdate layout");
static_assert(offsetof(KEL_TextureUpdate, pixels) == 8, "KEL_TextureUpdate layout");
static_assert(offsetof(KEL_TextureUpdate, x) == 16, "KEL_TextureUpdate layout");
static_assert(offsetof(KEL_TextureUpdate, y) == 20, "KEL_TextureUpdate layout");
static_assert(offsetof(KEL_TextureUpdate, width) == 24, "KEL_TextureUpdate layout");
static_assert(offsetof(KEL_TextureUpdate, height) == 28, "KEL_TextureUpdate layout");
static_assert(sizeof(KEL_FrameRect) == 16, "KEL_FrameRect layout");
static_assert(sizeof(KEL_Frame) == 288, "KEL_Frame layout");
static_assert(offsetof(KEL_Frame, width) == 8, "KEL_Frame layout");
static_assert(offsetof(KEL_Frame, stride) == 16, "KEL_Frame layout");
static_assert(offsetof(KEL_Frame, number) == 20, "KEL_Frame layout");
static_assert(offsetof(KEL_Frame, changesSince) == 24, "KEL_Frame layout");
static_assert(offsetof(KEL_Frame, rectCount) == 28, "KEL_Frame layout");
static_assert(offsetof(KEL_Frame, rects) == 32, "KEL_Frame layout");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(KEL_Command) == 8296, "KEL_Command layout");
_Static_assert(offsetof(KEL_Command, strArgs) == 84, "KEL_Command layout");
_Static_assert(offsetof(KEL_Command, result) == 8280, "KEL_Command layout");
_Static_assert(sizeof(KEL_TextureUpdate) == 32, "KEL_TextureUpdate layout");
_Static_assert(offsetof(KEL_TextureUpdate, height) == 28, "KEL_TextureUpdate layout");
_Static_assert(sizeof(KEL_Frame) == 288, "KEL_Frame layout");
_Static_assert(offsetof(KEL_Frame, rects) == 32, "KEL_Frame layout");
#endif

/*
 * Command codes, as the code field holds them (copy 4 letters). Requests go from the host to the
 * browser, notices from the browser to the host; README.md lists each one's fields.
 */
/* Requests */
#define KEL_CODE_INIT "INIT"
#define KEL_CODE_CRVW "CRVW"
#define KEL_CODE_RMVW "RMVW"
#define KEL_CODE_SCRL "SCRL"
#define KEL_CODE_SVCK "SVCK"
#define KEL_CODE_CLCK "CLCK"
#define KEL_CODE_LOAD "LOAD"
#define KEL_CODE_HFWD "HFWD"
#define KEL_CODE_HBAK "HBAK"
#define KEL_CODE_IMES "IMES"
#define KEL_CODE_HTML "HTML"
#define KEL_CODE_EVJS "EVJS"
#define KEL_CODE_SACT "SACT"
#define KEL_CODE_KEYD "KEYD"
#define KEL_CODE_KEYU "KEYU"
#define KEL_CODE_MPOS "MPOS"
#define KEL_CODE_RSIZ "RSIZ"
#define KEL_CODE_EXIT "EXIT"
#define KEL_CODE_MPRS "MPRS"
#define KEL_CODE_MREL "MREL"
#define KEL_CODE_MSCL "MSCL"
#define KEL_CODE_SETP "SETP"
#define KEL_CODE_ADDO "ADDO"
#define KEL_CODE_SSMR "SSMR"
#define KEL_CODE_SMSK "SMSK"
#define KEL_CODE_DSMR "DSMR"
#define KEL_CODE_PING "PING"
#define KEL_CODE_ALWP "ALWP"
#define KEL_CODE_PRXY "PRXY"
#define KEL_CODE_AUTH "AUTH"
#define KEL_CODE_RATE "RATE"
#define KEL_CODE_FRAM "FRAM"
/* Notices */
#define KEL_CODE_PRUP "PRUP"
#define KEL_CODE_BOOT "BOOT"
#define KEL_CODE_UPVW "UPVW"
#define KEL_CODE_UPCZ "UPCZ"
#define KEL_CODE_PROG "PROG"
#define KEL_CODE_LDFN "LDFN"
#define KEL_CODE_TITC "TITC"
#define KEL_CODE_URLC "URLC"
#define KEL_CODE_ICNC "ICNC"
#define KEL_CODE_IMEI "IMEI"
#define KEL_CODE_IMEO "IMEO"
#define KEL_CODE_POPU "POPU"
#define KEL_CODE_POPC "POPC"
#define KEL_CODE_JLOG "JLOG"
#define KEL_CODE_INVK "INVK"

/*
 * Values for KEYD / KEYU: intArgs[0] is a Qt key, intArgs[1] the modifier bits. Letters are
 * their upper-case ASCII value ('A'), digits and punctuation their ASCII value (' ', '0', ',');
 * keys that type text also put that text into strArgs[1].
 */
#define KEL_MOD_META 1
#define KEL_MOD_SHIFT 2
#define KEL_MOD_CONTROL 4
#define KEL_MOD_ALT 8

#define KEL_KEY_ESCAPE 0x01000000
#define KEL_KEY_TAB 0x01000001
#define KEL_KEY_BACKTAB 0x01000002
#define KEL_KEY_BACKSPACE 0x01000003
#define KEL_KEY_RETURN 0x01000004
#define KEL_KEY_ENTER 0x01000005 /* the keypad's */
#define KEL_KEY_INSERT 0x01000006
#define KEL_KEY_DELETE 0x01000007
#define KEL_KEY_PAUSE 0x01000008
#define KEL_KEY_PRINT 0x01000009
#define KEL_KEY_HOME 0x01000010
#define KEL_KEY_END 0x01000011
#define KEL_KEY_LEFT 0x01000012
#define KEL_KEY_UP 0x01000013
#define KEL_KEY_RIGHT 0x01000014
#define KEL_KEY_DOWN 0x01000015
#define KEL_KEY_PAGE_UP 0x01000016
#define KEL_KEY_PAGE_DOWN 0x01000017
#define KEL_KEY_SHIFT 0x01000020
#define KEL_KEY_CONTROL 0x01000021
#define KEL_KEY_META 0x01000022
#define KEL_KEY_ALT 0x01000023
#define KEL_KEY_CAPS_LOCK 0x01000024
#define KEL_KEY_NUM_LOCK 0x01000025
#define KEL_KEY_SCROLL_LOCK 0x01000026
#define KEL_KEY_F1 0x01000030 /* F2 to F24 follow in order: KEL_KEY_F1 + n - 1 */
#define KEL_KEY_F12 0x0100003b
#define KEL_KEY_MENU 0x01000055
#define KEL_KEY_SPACE 0x20

/* Receives one record addressed to the host. The record is valid only during the call; copy
 * what you keep. Runs on the thread that called KEL_Update; may call back into the library. */
typedef void (*KEL_ProcessCallback)(const KEL_Command *command);

/* Receives one diagnostic line (NUL-terminated, no prefix, no line end), on the thread whose
 * call logged it. */
typedef void (*KEL_LogCallback)(const char *message);

/* The same two, with the pointer the host registered them with (a host object, so that no
 * global receiver is needed). */
typedef void (*KEL_ProcessUserCallback)(const KEL_Command *command, void *user);
typedef void (*KEL_LogUserCallback)(const char *message, void *user);

/* Creates (or reuses and zeroes) the three shared segments and re-creates their locks.
 * Returns false, with a log line naming the segment, when one cannot be created or opened
 * (also when an existing one belongs to another user or is not mode 0600); what it had made
 * by then is removed again, and the library is left as before any KEL_Init. Call it before
 * starting the browser process. The segment names carry KEL_SEGMENT_SUFFIX when it is set.
 * Frame areas left under these names by a browser that was killed are removed. */
KEL_API bool KEL_Init(void);

/* Posts "INIT" with this process's id so the browser process watches it and ends with it.
 * Call after starting the browser. No result; a "BOOT" notice answers. */
KEL_API void KEL_InitProcess(void);

/* Hands up to eleven waiting records (notices and replies) to the process callback, then
 * returns; the rest wait for the next call. Does nothing without a process callback. */
KEL_API void KEL_Update(void);

/* Posts a copy of *command (the caller keeps its record). Returns the record's sequence
 * number, which its reply will carry; 0 when the command segment is full, the lock could not
 * be taken in time, command is NULL, its origin is neither 0 nor 1 (no side would ever take
 * it), or the library is not initialised. */
KEL_API int32_t KEL_PostCommand(const KEL_Command *command);

/* Drops every waiting record in both directions and restarts numbering at 1. */
KEL_API void KEL_ClearCommands(void);

/* Copies the waiting frame out of the texture segment into update->pixels.
 * When a whole frame waits it is copied (update->width x update->height x 4 bytes, supplied by
 * the caller, each side at most 1024) whatever fullOnly, group and index say, and the
 * segment is released. Otherwise, unless fullOnly, the rectangle (group 0..1, index 0..1) is
 * copied if one was delivered, with x, y, width and height filled in; a buffer of
 * 512 x 512 x 4 bytes (group 0) or 256 x 256 x 4 (group 1) always suffices. A rectangle may pass
 * the texture's edges (clip it); one whose sides do not fit its area, or whose x or y lies more
 * than its area's side outside a 1024 x 1024 texture, is never handed out, and a whole
 * frame with a side above 1024 or below 0 is not copied (updated stays 0). Asking for group 1,
 * index 1 releases the segment, so ask for it last. update->updated tells whether pixels came. */
KEL_API void KEL_UpdateTexture(bool fullOnly, int32_t group, int32_t index,
                               KEL_TextureUpdate *update);

/*
 * Frame areas. A view switched onto its own frame area ("RATE") is painted at its own rate, up
 * to 60 frames a second, at up to 4096 x 4096 painted pixels, into a shared area of its own
 * with three frames: the browser paints one while the newest finished one waits and the host
 * may hold a third. Such a view gets no "UPVW" and never uses the texture segment; views on the
 * texture path beside it work as before. `view` is the view's name, UTF-16, NUL-terminated (at
 * most 255 units, as in a record). Nothing here waits for the browser: a browser that hung or
 * died leaves the last frame in place, and a host that never takes frames never holds the
 * browser up. Everything read from the area is checked; a frame with impossible values is
 * refused (-1) and logged, never handed out.
 */

/* Holds the newest finished frame of the view for the host, without copying it: frame->pixels
 * points into shared memory and stays valid, unchanged, until KEL_ReleaseFrame or the next
 * KEL_TakeFrame of the view (or KEL_Shutdown). Returns 1 when a frame newer than the last one
 * taken is now held (frame filled in); 0 when there is none (nothing changed; the previously
 * taken frame stays held); -1 for a NULL argument, a view without a frame area (yet), a refused
 * frame, or before KEL_Init. The rectangles cover every pixel that changed after frame
 * changesSince: when the host's copy holds that frame or a later one it may upload only them;
 * otherwise (or rectCount -1) it uploads the whole frame. */
KEL_API int32_t KEL_TakeFrame(const uint16_t *view, KEL_Frame *frame);

/* Hands the frame held by KEL_TakeFrame back to the browser, which may paint into it again.
 * Nothing happens when none is held. */
KEL_API void KEL_ReleaseFrame(const uint16_t *view);

/* Copies the newest finished frame into pixels (capacity bytes), packed (stride width * 4),
 * and fills *frame (frame->pixels is set to pixels). It takes and releases the frame itself and
 * returns as KEL_TakeFrame does; -1 too when capacity is below width * height * 4 (frame still
 * filled in, so the host learns the size it needs; no pixels copied), and 0 when nothing newer
 * than the last frame taken or copied came. A frame held by KEL_TakeFrame is released first. */
KEL_API int32_t KEL_CopyFrame(const uint16_t *view, void *pixels, int32_t capacity,
                              KEL_Frame *frame);

/* Copies length bytes from source into a free data slot for a request to name.
 * Returns the slot index, or -1 when no slot fits (over 1 MiB, all taken), length < 0,
 * or the library is not initialised. */
KEL_API int32_t KEL_AllocateAndCopy(const void *source, int32_t length);

/* Copies a payload named by a received record into destination (length bytes) and frees its
 * slot. Returns false for a bad index, a free slot, a length beyond the slot's capacity or
 * negative, or when not initialised; nothing is copied then. */
KEL_API bool KEL_CopyAndFree(int32_t slot, void *destination, int32_t length);

/* Registers the log callback; NULL sends lines to standard output prefixed with "LOG: ". */
KEL_API void KEL_SetLogCB(KEL_LogCallback callback);

/* Registers the process callback that KEL_Update calls; NULL removes it. */
KEL_API void KEL_SetProcessCB(KEL_ProcessCallback callback);

/* Companions of KEL_SetLogCB and KEL_SetProcessCB whose callback also receives `user`. One
 * callback of each kind is registered at a time: each setter replaces whatever the other one
 * of its kind registered (NULL removes it). KEL_Shutdown forgets the process callback of either
 * kind. */
KEL_API void KEL_SetLogCBWithUser(KEL_LogUserCallback callback, void *user);
KEL_API void KEL_SetProcessCBWithUser(KEL_ProcessUserCallback callback, void *user);

/* Releases the three segments, removes their names and their locks' names, unmaps every frame
 * area (removing their names too: the browser ends with its host), and forgets the
 * process callback (the log callback stays). KEL_Init may be called again afterwards. */
KEL_API void KEL_Shutdown(void);

#ifdef __cplusplus
}
#endif

#endif /* KEL_PLUGIN_H */
