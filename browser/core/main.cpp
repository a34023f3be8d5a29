// KELBrowser: the off-screen browser process that a host starts. It takes no options of its
// own; the arguments go to the application object.

#include "core/HostWatch.h"
#include "core/KELApplication.h"
#include "core/StackLimit.h"

#include <QByteArray>

#include <sys/stat.h>

int main(int argc, char **argv) {
    KEL::ensureMainStack(argv);
    // Everything the browser writes (cookies, cache, icons, page storage) is the user's alone,
    // whatever umask the host passed on.
    umask(077);
    KEL::HostWatch::adoptLifeline();
    // Windowless by design: without an explicit choice, run on Qt's off-screen platform so no
    // display server is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));

    KEL::KELApplication app(argc, argv);
    int result = 1;
    if (app.startUp())
        result = app.exec();
    app.shutDown();
    return result;
}
