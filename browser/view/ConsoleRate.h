#pragma once
// The rate at which console messages reach the host: a burst of kBurst, then kPerSecond a
// second. A message over it is dropped and counted, and the host hears how many in one JLOG,
// at most once a second while the flood lasts. QtWebKit keeps one per page, WPE WebKit one for
// all pages together. GUI thread only.

#include <QElapsedTimer>
#include <QTimer>

namespace KEL {

class NoticeSink;

class ConsoleRate {
  public:
    static constexpr int kBurst = 64;
    static constexpr int kPerSecond = 32;

    ConsoleRate();
    ConsoleRate(const ConsoleRate &) = delete;
    ConsoleRate &operator=(const ConsoleRate &) = delete;

    // False when the next message must be dropped; the drop report goes to `notices`.
    bool admit(NoticeSink &notices);

  private:
    void reportDropped();

    QElapsedTimer m_clock;
    double m_tokens = kBurst;
    int m_dropped = 0;
    NoticeSink *m_notices = nullptr;
    QTimer m_report;
};

} // namespace KEL
