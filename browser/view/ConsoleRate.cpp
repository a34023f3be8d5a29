#include "view/ConsoleRate.h"

#include "CommandCodes.h"
#include "view/Notice.h"

#include <algorithm>

namespace KEL {

ConsoleRate::ConsoleRate() {
    m_clock.start();
    m_report.setSingleShot(true);
    m_report.setInterval(1000);
    QObject::connect(&m_report, &QTimer::timeout, [this] { reportDropped(); });
}

bool ConsoleRate::admit(NoticeSink &notices) {
    m_notices = &notices;
    const double seconds = double(m_clock.restart()) / 1000.0;
    m_tokens = std::min<double>(kBurst, m_tokens + seconds * kPerSecond);
    if (m_tokens >= 1.0) {
        m_tokens -= 1.0;
        return true;
    }
    if (m_dropped++ == 0)
        m_report.start();
    return false;
}

void ConsoleRate::reportDropped() {
    if (m_dropped == 0 || !m_notices)
        return;
    Notice(*m_notices, Code::JLOG)
        .textPayload(0, QStringLiteral("%1 console messages dropped (more than %2 a second)")
                            .arg(m_dropped)
                            .arg(kPerSecond))
        .integer(2, 0)
        .textPayload(3, QString())
        .post();
    m_dropped = 0;
}

} // namespace KEL
