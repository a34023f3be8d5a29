#pragma once
// One host-named object in page script: script calls invoke(method, args...) and the call
// reaches the host as an INVK notice. Properties are dynamic string properties set by SETP.

#include <QObject>
#include <QString>
#include <QVariant>

namespace KEL {

class NoticeSink;

class BridgeObject : public QObject {
    Q_OBJECT
  public:
    explicit BridgeObject(NoticeSink &sink) : m_sink(sink) {}

    // Default arguments make moc list the cloned signatures, from seven arguments down to
    // none; the script binding picks the one matching the call.
    Q_INVOKABLE void invoke(QString methodName, QVariant arg0 = QVariant(),
                            QVariant arg1 = QVariant(), QVariant arg2 = QVariant(),
                            QVariant arg3 = QVariant(), QVariant arg4 = QVariant(),
                            QVariant arg5 = QVariant(), QVariant arg6 = QVariant());

  private:
    NoticeSink &m_sink;
};

} // namespace KEL
