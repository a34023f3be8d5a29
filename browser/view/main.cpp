// KELBrowser: the off-screen browser process that a host starts. It takes no options of its
// own; the arguments go to the application object. It runs QtWebKit itself, or becomes the
// WPE WebKit program when that engine is chosen.

#include "core/BrowserMain.h"
#include "core/EngineChoice.h"
#include "core/StackLimit.h"
#include "view/QtWebKitEngine.h"

int main(int argc, char **argv) {
    KEL::runChosenEngine(argv);
    KEL::ensureMainStack(argv);
    return KEL::runBrowser(argc, argv, [] {
        return std::unique_ptr<KEL::Engine>(std::make_unique<KEL::QtWebKitEngine>());
    });
}
