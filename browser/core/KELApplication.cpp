#include "core/KELApplication.h"

#include "CommandBuffer.h"
#include "CommandCodes.h"
#include "DataBuffer.h"
#include "Log.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"
#include "core/CommandLoop.h"
#include "core/Engine.h"
#include "core/HostLiveness.h"
#include "core/ProcessState.h"
#include "core/ViewRegistry.h"
#include "core/Watchdog.h"
#include "view/Notice.h"

#include <QTimerEvent>

#include <chrono>

namespace KEL {

namespace {

constexpr int kTickMilliseconds = 33;
constexpr std::chrono::milliseconds kEarlyTickGap{4};
// The host kit says whether it started this process in its sandbox, and if not why not.
void logSandbox() {
    const QByteArray said = qgetenv("KEL_SANDBOXED");
    qunsetenv("KEL_SANDBOXED");
    if (said == "1")
        logMessage("Sandbox: on (own user, mount and PID namespaces, read-only system, "
                   "private /tmp, no new privileges)");
    else
        logMessage("Sandbox: off" + (said.size() > 2 ? " " + said.mid(2).toStdString() : ""));
}

template <typename Buffer> bool openBuffer(std::unique_ptr<Buffer> &slot, const char *baseName) {
    slot = std::make_unique<Buffer>(BrowserSide);
    return slot->open(segmentName(baseName));
}

template <typename Buffer> void closeBuffer(std::unique_ptr<Buffer> &slot) {
    if (!slot)
        return;
    if (slot->isOpen())
        logMessage("Closing segment: " + slot->name());
    slot->closeSegment();
    slot.reset();
}

} // namespace

KELApplication::KELApplication(int &argc, char **argv) : QApplication(argc, argv) {
    m_earlyTick.setSingleShot(true);
    m_earlyTick.setTimerType(Qt::PreciseTimer);
    connect(&m_earlyTick, &QTimer::timeout, this, &KELApplication::update);
}

KELApplication::~KELApplication() = default;

bool KELApplication::startUp() {
    logSandbox();
    addLibraryPath(applicationDirPath() + QStringLiteral("/plugins"));
    setOrganizationName(QStringLiteral("Kelvane"));
    setApplicationName(QStringLiteral("Kelvane"));
    setApplicationVersion(QStringLiteral("1.0"));

    if (!processState.engine || !processState.engine->startUp(processState.notices))
        return false;
    logMessage(std::string("Engine: ") + processState.engine->name() + " " +
               processState.engine->version().toStdString());

    if (!openTransport()) {
        logMessage("Cannot open the shared segments: exiting");
        return false;
    }
    startTimer(kTickMilliseconds);
    // The host may have posted INIT and its first requests already: they are handled as soon
    // as the event loop runs rather than a whole period later.
    QTimer::singleShot(0, this, &KELApplication::update);
    watchdog.start();
    return true;
}

// The segments come from the host (KEL_Init); this side only opens them. Each failure has
// been logged by the segment layer; the later segments and PRUP are not made.
bool KELApplication::openTransport() {
    processState.viewRegistry =
        std::make_unique<ViewRegistry>(*processState.engine, processState.notices);
    processState.viewRegistry->setLoadFinishedHook([this] { requestEarlyTick(); });
    if (!openBuffer(processState.commandBuffer, kCommandSegmentName) ||
        !openBuffer(processState.textureBuffer, kTextureSegmentName) ||
        !openBuffer(processState.dataBuffer, kDataSegmentName))
        return false;
    processState.ownNames.add(*processState.commandBuffer);
    processState.ownNames.add(*processState.textureBuffer);
    processState.ownNames.add(*processState.dataBuffer);
    watchdog.setOwnNames(processState.ownNames);
    Notice(processState.notices, Code::PRUP).post();
    return true;
}

// Views go before the segments close: a view being destroyed may still talk to the host.
// The watchdog stays on until the end: a host that does not wait for the teardown may be gone
// by now, and a teardown that hangs must not keep the process alive.
void KELApplication::shutDown() {
    m_earlyTick.stop();
    if (processState.viewRegistry)
        processState.viewRegistry->removeAllViews();
    closeBuffer(processState.commandBuffer);
    closeBuffer(processState.textureBuffer);
    closeBuffer(processState.dataBuffer);
    processState.viewRegistry.reset();
    if (processState.engine)
        processState.engine->shutDown();
    watchdog.stop();
    processState.hostProcess.close();
    removeNamesOfGoneHost();
}

// Nobody can use the names once their host is gone: a new host makes its own, and a POSIX
// object would otherwise stay in memory until the machine restarts. An EXIT or a missed PING
// leaves them, since the host may still be there.
void KELApplication::removeNamesOfGoneHost() {
    if (!processState.hostEnded)
        return;
    const int removed = processState.ownNames.removeStillOwn();
    const int total = 2 * processState.ownNames.count();
    logMessage("Removed " + std::to_string(removed) + " of " + std::to_string(total) +
               " shared memory names of the gone host" +
               (removed < total ? " (the others are no longer its own)" : ""));
}

void KELApplication::tick() {
    if (!processState.commandBuffer || processState.exiting)
        return;
    m_lastTick = SteadyClock::now();
    watchdog.ticked();
    if (!watchHost())
        return;
    runCommandLoop(*processState.commandBuffer);
    if (processState.viewRegistry)
        processState.viewRegistry->viewTick();
}

bool KELApplication::watchHost() {
    // Checked at every tick, since a host that starts anew under the same names reuses the
    // segments at once: a browser that went on would take the new host's records (its INIT
    // first) under a lock the new host does not use.
    if (processState.ownNames.takenOver()) {
        logMessage("The shared segments now belong to another host: exiting");
        requestExit();
        return false;
    }
    const SteadyClock::time_point now = SteadyClock::now();
    if (processState.hostProcessId == -1) {
        if (pingDeadlinePassed(processState.pinged, processState.lastPing, now)) {
            logMessage(processState.pinged ? "No PING from the host any more: exiting"
                                           : "Neither INIT nor PING from the host: exiting");
            requestExit();
            return false;
        }
        return true;
    }
    if (hostCheckDue(processState.lastHostCheck, now)) {
        processState.lastHostCheck = now;
        if (!hostAlive()) {
            logMessage("Host process " + std::to_string(processState.hostProcessId) +
                       " is gone: exiting");
            requestExit();
            return false;
        }
    }
    return true;
}

void KELApplication::requestEarlyTick() {
    if (m_earlyTick.isActive() || processState.exiting)
        return;
    const auto since = SteadyClock::now() - m_lastTick;
    const auto wait = since >= kEarlyTickGap
                          ? std::chrono::milliseconds(0)
                          : std::chrono::ceil<std::chrono::milliseconds>(kEarlyTickGap - since);
    m_earlyTick.start(static_cast<int>(wait.count()));
}

void KELApplication::update() {
    tick();
}

// There is one timer, so its id is not inspected.
void KELApplication::timerEvent(QTimerEvent *event) {
    event->accept();
    tick();
}

bool hostAlive() {
    if (processState.hostProcessId <= 0 || processState.hostProcess.isNull())
        return false;
    if (processState.hostProcess.running())
        return true;
    // Only a process that was watched and seen to end counts as gone for certain; an INIT
    // naming no process the browser could open says nothing about the real host.
    processState.hostEnded = true;
    processState.hostProcess.close();
    return false;
}

void requestExit() {
    processState.exiting = true;
    QCoreApplication::exit(0);
}

} // namespace KEL
