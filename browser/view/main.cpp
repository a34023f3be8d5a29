// KELBrowser-qtwebkit: the browser process on QtWebKit. KELBrowser runs it in its own place when
// this engine is chosen; it keeps KELBrowser's name.

#include "core/BrowserMain.h"
#include "core/StackLimit.h"
#include "view/QtWebKitEngine.h"

#include <sys/prctl.h>

int main(int argc, char **argv) {
    KEL::ensureMainStack(argv);
    prctl(PR_SET_NAME, "KELBrowser", 0, 0, 0);
    return KEL::runBrowser(argc, argv, [] {
        return std::unique_ptr<KEL::Engine>(std::make_unique<KEL::QtWebKitEngine>());
    });
}
