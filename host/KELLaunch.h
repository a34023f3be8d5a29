/*
 * KELLaunch.h - finding and starting the KELBrowser program from C (libKELHost.so).
 *
 * The plugin (KELPlugin.h) leaves starting the browser to the host. These few functions do it
 * the way the C++ host kit does: settle segment names of this process's own, KEL_Init, start
 * the program found beside the plugin, KEL_InitProcess; and at the end EXIT, wait, reap and
 * KEL_Shutdown. The browser's own output never reaches this process's standard output: it goes
 * to a log file you name, or line by line to your log callback during kel_update.
 *
 *     KEL_SetProcessCB(onRecord);
 *     KEL_StartOptions options = {0};
 *     options.log = onLog;
 *     KEL_Browser *browser = kel_start(&options);
 *     while (playing) { kel_update(browser); ... }   // instead of KEL_Update
 *     kel_stop(browser, 3000);
 *
 * One browser per process at a time (the plugin's state is process-wide). Usable from C99.
 */
#ifndef KEL_LAUNCH_H
#define KEL_LAUNCH_H

#include "KELPlugin.h"

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KEL_StartOptions {
    /* The program; NULL: $KEL_BROWSER_PATH, else ../bin/KELBrowser beside libKELPlugin.so. */
    const char *browser_path;
    /* Where the browser's standard output and error go; NULL: to `log` (see kel_update). */
    const char *log_file;
    /* When not NULL, registered with KEL_SetLogCB, and given the browser's own lines too.
     * Without it those lines go to standard error prefixed "KELBrowser: ". */
    KEL_LogCallback log;
    /* Non-zero: the plain segment names ("KEL_COMMANDBUFFER", ...). Zero: unless
     * KEL_SEGMENT_SUFFIX is set, this process gets a suffix of its own, so that two hosts on
     * one machine never share segments; it is put into this process's environment. */
    int fixed_segment_names;
    /* Bound on the browser's private writable memory in bytes; 0: 4 GiB. */
    uint64_t memory_limit;
    /* Folders, separated by ':', that the browser may read although its sandbox hides them
     * (the sandbox's /tmp is empty): the folders of page files under /tmp. NULL: none.
     * KEL_SANDBOX=0 in the environment runs the browser without a sandbox. */
    const char *readable_folders;
    /* The web engine: "wpe" (WPE WebKit: today's web, WebGL; the default where it is built) or
     * "qtwebkit" (QtWebKit: the lightest start and memory). NULL: $KEL_ENGINE, else the
     * default. */
    const char *engine;
} KEL_StartOptions;

typedef struct KEL_Browser KEL_Browser;

/* KEL_Init, start the browser, KEL_InitProcess. options may be NULL (all defaults). Returns
 * NULL, with a log line saying why, when the segments or the process cannot be made; the
 * plugin is then shut down again. Register the process callback before or after, as you like. */
KEL_Browser *kel_start(const KEL_StartOptions *options);

/* The browser's waiting output lines to the log, then KEL_Update. Call once per frame. */
void kel_update(KEL_Browser *browser);

/* The browser's process id; -1 once it has ended. */
pid_t kel_pid(const KEL_Browser *browser);

/* Non-zero while the process runs (reaps it when it has ended). */
int kel_running(KEL_Browser *browser);

/* Posts EXIT, waits up to timeout_ms for the process to end (then kills it), reaps it,
 * KEL_Shutdown, frees browser. Returns 1 when it ended by itself, else 0. NULL is ignored. */
int kel_stop(KEL_Browser *browser, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* KEL_LAUNCH_H */
