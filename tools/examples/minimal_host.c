/*
 * The smallest complete host, in plain C: start the browser, show a page, copy its first frame
 * and write it as a PPM image. Build it with the project (target minimal_host) and run
 *     build/bin/minimal_host out.ppm
 * or against an installed SDK:
 *     cc minimal_host.c $(pkg-config --cflags --libs kel) -o minimal_host
 * It shows the calling order every host follows: callbacks, kel_start (KEL_Init, start
 * KELBrowser, KEL_InitProcess), then kel_update (KEL_Update) once per frame, KEL_UpdateTexture
 * after each "UPVW", kel_stop at the end.
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include "KELLaunch.h"
#include "KELPlugin.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

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
    if (strcmp(c->code, KEL_CODE_CRVW) == 0 && c->result == 1)
        viewCreated = 1;
    if (strcmp(c->code, KEL_CODE_UPVW) == 0) {
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

int main(int argc, char **argv) {
    const char *out = argc > 1 ? argv[1] : "frame.ppm";
    KEL_SetProcessCB(onRecord);
    /* Segment names of this process's own, the browser found beside the plugin, and its output
     * (and the plugin's) through onLog. */
    KEL_StartOptions options = {0};
    options.log = onLog;
    KEL_Browser *browser = kel_start(&options);
    if (!browser)
        return 1;

    KEL_Command create = {0};
    memcpy(create.code, KEL_CODE_CRVW, 4);
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
    memcpy(show.code, KEL_CODE_HTML, 4);
    setText(show.strArgs[0], "main");
    show.strCount = 1;
    show.intArgs[0] = KEL_AllocateAndCopy(text, (int32_t)(units * 2));
    show.intArgs[1] = (int32_t)(units * 2);
    show.intCount = 2;
    free(text);
    KEL_PostCommand(&show);

    /* The host's frame loop: here, poll until the page has been painted. */
    for (int i = 0; i < 500 && !frameReady; ++i) {
        kel_update(browser);
        sleepMs(10);
    }

    kel_stop(browser, 3000); /* EXIT, wait, reap, KEL_Shutdown */

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
