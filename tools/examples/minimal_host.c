/*
 * The smallest complete host, in plain C: start the browser, show a page, copy its first frame
 * and write it as a PPM image. Build it with the project (target minimal_host) and run
 *     build/bin/minimal_host out.ppm
 * It shows the calling order every host follows: callbacks, KEL_Init, start KELBrowser,
 * KEL_InitProcess, then KEL_Update once per frame, KEL_UpdateTexture after each "UPVW".
 */
#define _GNU_SOURCE /* dladdr */
#include "KELPlugin.h"

#include <dlfcn.h>
#include <libgen.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

enum { VIEW_W = 640, VIEW_H = 360, TEX_W = 1024, TEX_H = 512 };

static unsigned char texture[TEX_W * TEX_H * 4];
static int frameReady = 0;
static int viewCreated = 0;

static void setText(uint16_t *slot, const char *ascii) {
    memset(slot, 0, KEL_COMMAND_STR_UNITS * 2);
    for (int i = 0; ascii[i] && i < KEL_COMMAND_STR_UNITS - 1; ++i)
        slot[i] = (uint16_t)ascii[i];
}

static void onLog(const char *line) {
    fprintf(stderr, "kel: %s\n", line);
}

static void onRecord(const KEL_Command *c) {
    if (strcmp(c->code, "CRVW") == 0 && c->result == 1)
        viewCreated = 1;
    if (strcmp(c->code, "UPVW") == 0) {
        /* A whole frame comes with one call; rectangles would need group 0/1, index 0/1 with
         * group 1 index 1 last. This view is new, so its first delivery is whole. */
        KEL_TextureUpdate update = {0};
        update.pixels = texture;
        update.width = TEX_W;
        update.height = TEX_H;
        KEL_UpdateTexture(true, 0, 0, &update);
        if (!update.updated)
            KEL_UpdateTexture(false, 1, 1, &update); /* release the segment anyway */
        frameReady = update.updated;
    }
}

static void sleepMs(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static pid_t startBrowser(void) {
    Dl_info info;
    char path[4096];
    if (!dladdr((void *)&KEL_Init, &info) || !info.dli_fname)
        return -1;
    snprintf(path, sizeof path, "%s", info.dli_fname);
    char program[4200];
    snprintf(program, sizeof program, "%s/../bin/KELBrowser", dirname(path));
    char *argv[] = {program, NULL};
    pid_t pid;
    return posix_spawn(&pid, program, NULL, NULL, argv, environ) == 0 ? pid : -1;
}

int main(int argc, char **argv) {
    const char *out = argc > 1 ? argv[1] : "frame.ppm";
    KEL_SetLogCB(onLog);
    KEL_SetProcessCB(onRecord);
    if (!KEL_Init())
        return 1;
    pid_t browser = startBrowser();
    if (browser < 0) {
        fprintf(stderr, "cannot start KELBrowser\n");
        KEL_Shutdown();
        return 1;
    }
    KEL_InitProcess();

    KEL_Command create = {0};
    memcpy(create.code, "CRVW", 4);
    setText(create.strArgs[0], "main");
    create.strCount = 1;
    create.intArgs[0] = VIEW_W;
    create.intArgs[1] = VIEW_H;
    create.intArgs[2] = 1; /* rectangles allowed */
    create.intCount = 3;
    KEL_PostCommand(&create);

    /* HTML travels as UTF-16 with a terminating zero unit in the data segment. */
    const char *html = "<body style='margin:0;background:#2a6'><h1 style='color:white'>"
                       "Hello from KEL</h1></body>";
    size_t units = strlen(html) + 1;
    uint16_t *text = calloc(units, 2);
    for (size_t i = 0; i < units; ++i)
        text[i] = (uint16_t)html[i];
    KEL_Command show = {0};
    memcpy(show.code, "HTML", 4);
    setText(show.strArgs[0], "main");
    show.strCount = 1;
    show.intArgs[0] = KEL_AllocateAndCopy(text, (int32_t)(units * 2));
    show.intArgs[1] = (int32_t)(units * 2);
    show.intCount = 2;
    free(text);
    KEL_PostCommand(&show);

    /* The host's frame loop: here, poll until the page has been painted. */
    for (int i = 0; i < 500 && !frameReady; ++i) {
        KEL_Update();
        sleepMs(10);
    }

    KEL_Command quit = {0};
    memcpy(quit.code, "EXIT", 4);
    KEL_PostCommand(&quit);
    int status;
    for (int i = 0; i < 300 && waitpid(browser, &status, WNOHANG) == 0; ++i)
        sleepMs(10);
    kill(browser, SIGKILL);
    waitpid(browser, &status, 0);
    KEL_Shutdown();

    if (!frameReady) {
        fprintf(stderr, "no frame arrived (view created: %d)\n", viewCreated);
        return 1;
    }
    /* Rows are bottom first; the page fills columns 0..VIEW_W-1 of the last VIEW_H rows. */
    FILE *f = fopen(out, "wb");
    if (!f)
        return 1;
    fprintf(f, "P6\n%d %d\n255\n", VIEW_W, VIEW_H);
    for (int r = 0; r < VIEW_H; ++r) {
        const unsigned char *row = texture + (size_t)(TEX_H - 1 - r) * TEX_W * 4;
        for (int c = 0; c < VIEW_W; ++c)
            fwrite(row + c * 4, 1, 3, f);
    }
    fclose(f);
    printf("wrote %s\n", out);
    return 0;
}
