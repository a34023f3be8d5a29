#pragma once
// One host-named object in page script: script calls invoke(method, args...) and the call
// reaches the host as an INVK notice naming the view whose page called. Properties are dynamic
// string properties set by SETP. Each view's page gets an object of its own under the name, so
// a call can say which view it came from.

#include <QObject>
#include <QString>
#include <QVariant>

namespace KEL {

class NoticeSink;

class BridgeObject : public QObject {
    Q_OBJECT
  public:
    BridgeObject(NoticeSink &sink, QString viewName, QObject *parent = nullptr)
        : QObject(parent), m_sink(sink), m_viewName(std::move(viewName)) {}

    // Default arguments make moc list the cloned signatures, from seven arguments down to
    // none; the script binding picks the one matching the call.
    Q_INVOKABLE void invoke(QString methodName, QVariant arg0 = QVariant(),
                            QVariant arg1 = QVariant(), QVariant arg2 = QVariant(),
                            QVariant arg3 = QVariant(), QVariant arg4 = QVariant(),
                            QVariant arg5 = QVariant(), QVariant arg6 = QVariant());

  private:
    NoticeSink &m_sink;
    QString m_viewName;
};

} // namespace KEL
