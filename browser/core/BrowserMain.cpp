#include "core/BrowserMain.h"

#include "core/BrowserContext.h"
#include "core/Engine.h"
#include "core/KELApplication.h"

#include <QByteArray>

#include <sys/stat.h>

namespace KEL {

int runBrowser(int argc, char **argv, EngineMaker makeEngine) {
    // First, so the ping deadlines count from the process start.
    BrowserContext context;
    // Everything the browser writes (cookies, cache, icons, page storage) is the user's alone,
    // whatever umask the host passed on.
    umask(077);
    context.host.adoptLifeline();
    // Windowless by design: without an explicit choice, run on Qt's off-screen platform so no
    // display server is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));

    KELApplication app(argc, argv, context);
    context.engine = makeEngine();
    int result = 1;
    if (app.startUp())
        result = app.exec();
    app.shutDown();
    context.engine.reset();
    return result;
}

} // namespace KEL
