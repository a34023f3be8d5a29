#include "core/KELApplication.h"

#include "CommandBuffer.h"
#include "CommandCodes.h"
#include "DataBuffer.h"
#include "Log.h"
#include "SegmentNames.h"
#include "TextureBuffer.h"
#include "core/BrowserContext.h"
#include "core/CommandLoop.h"
#include "core/Engine.h"
#include "core/ViewRegistry.h"
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

KELApplication::KELApplication(int &argc, char **argv, BrowserContext &context)
    : QApplication(argc, argv), m_context(context), m_watchdog(context.host, context.ownNames) {
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

    if (!m_context.engine || !m_context.engine->startUp(m_context.notices))
        return false;
    logMessage(std::string("Engine: ") + m_context.engine->name() + " " +
               m_context.engine->version().toStdString());

    if (!openTransport()) {
        logMessage("Cannot open the shared segments: exiting");
        return false;
    }
    startTimer(kTickMilliseconds);
    // The host may have posted INIT and its first requests already: they are handled as soon
    // as the event loop runs rather than a whole period later.
    QTimer::singleShot(0, this, &KELApplication::update);
    m_watchdog.start();
    return true;
}

// The segments come from the host (KEL_Init); this side only opens them. Each failure has
// been logged by the segment layer; the later segments and PRUP are not made.
bool KELApplication::openTransport() {
    m_context.viewRegistry = std::make_unique<ViewRegistry>(m_context);
    m_context.viewRegistry->setEarlyTickHook([this] { requestEarlyTick(); });
    if (!openBuffer(m_context.commandBuffer, kCommandSegmentName) ||
        !openBuffer(m_context.textureBuffer, kTextureSegmentName) ||
        !openBuffer(m_context.dataBuffer, kDataSegmentName))
        return false;
    m_context.ownNames.add(*m_context.commandBuffer);
    m_context.ownNames.add(*m_context.textureBuffer);
    m_context.ownNames.add(*m_context.dataBuffer);
    Notice(m_context.notices, Code::PRUP).post();
    return true;
}

// Views go before the segments close: a view being destroyed may still talk to the host.
// The watchdog stays on until the end: a host that does not wait for the teardown may be gone
// by now, and a teardown that hangs must not keep the process alive.
void KELApplication::shutDown() {
    m_earlyTick.stop();
    if (m_context.viewRegistry)
        m_context.viewRegistry->removeAllViews();
    closeBuffer(m_context.commandBuffer);
    closeBuffer(m_context.textureBuffer);
    closeBuffer(m_context.dataBuffer);
    m_context.viewRegistry.reset();
    if (m_context.engine)
        m_context.engine->shutDown();
    m_watchdog.stop();
    m_context.host.close();
    removeNamesOfGoneHost();
}

// Nobody can use the names once their host is gone: a new host makes its own, and a POSIX
// object would otherwise stay in memory until the machine restarts. An EXIT or a missed PING
// leaves them, since the host may still be there.
void KELApplication::removeNamesOfGoneHost() {
    if (!m_context.host.hostEnded())
        return;
    const int removed = m_context.ownNames.removeStillOwn();
    const int total = 2 * m_context.ownNames.count();
    logMessage("Removed " + std::to_string(removed) + " of " + std::to_string(total) +
               " shared memory names of the gone host" +
               (removed < total ? " (the others are no longer its own)" : ""));
}

void KELApplication::tick() {
    if (!m_context.commandBuffer || m_context.exiting)
        return;
    m_lastTick = SteadyClock::now();
    m_watchdog.ticked();
    if (!watchHost())
        return;
    runCommandLoop(m_context);
    if (m_context.viewRegistry)
        m_context.viewRegistry->viewTick();
}

bool KELApplication::watchHost() {
    // Checked at every tick, since a host that starts anew under the same names reuses the
    // segments at once: a browser that went on would take the new host's records (its INIT
    // first) under a lock the new host does not use.
    if (m_context.ownNames.takenOver()) {
        logMessage("The shared segments now belong to another host: exiting");
        m_context.requestExit();
        return false;
    }
    const SteadyClock::time_point now = SteadyClock::now();
    HostState &host = m_context.host;
    if (host.hostProcessId() == -1) {
        if (host.pingDeadlinePassed(now)) {
            logMessage(host.wasPinged() ? "No PING from the host any more: exiting"
                                        : "Neither INIT nor PING from the host: exiting");
            m_context.requestExit();
            return false;
        }
        return true;
    }
    if (host.hostCheckDue(now) && !host.hostAlive()) {
        logMessage("Host process " + std::to_string(host.hostProcessId()) + " is gone: exiting");
        m_context.requestExit();
        return false;
    }
    return true;
}

void KELApplication::requestEarlyTick() {
    if (m_earlyTick.isActive() || m_context.exiting)
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

} // namespace KEL
