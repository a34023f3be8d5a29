#include "bridge/BridgeRegistry.h"

#include "bridge/BridgeObject.h"

#include "Log.h"
#include "view/ScriptFacade.h"

#include <QWebFrame>

namespace KEL {

BridgeRegistry::BridgeRegistry(NoticeSink &sink) : m_sink(sink) {}

BridgeRegistry::~BridgeRegistry() {
    deleteAll();
}

void BridgeRegistry::addObject(const QString &name, const QString &allowed) {
    auto found = m_objects.find(name);
    if (found != m_objects.end()) {
        logMessage("Bridge object already exists: " + name.toLatin1().toStdString());
        if (!allowed.isEmpty())
            found->second.allowed = OriginList::parse(allowed);
        return;
    }
    auto object = std::make_unique<BridgeObject>(m_sink);
    object->setObjectName(name);
    m_objects.emplace(name, Entry{std::move(object), OriginList::parse(allowed)});
}

bool BridgeRegistry::setObjectProperty(const QString &objectName, const QString &propertyName,
                                       const QString &value) {
    if (!m_objects.count(objectName))
        addObject(objectName);
    m_objects[objectName].object->setProperty(propertyName.toLatin1().constData(), QVariant(value));
    return true;
}

void BridgeRegistry::installObjects(QWebFrame *frame, bool trusted) const {
    if (!frame)
        return;
    int withheld = 0;
    for (const auto &entry : m_objects) {
        if (!trusted && !entry.second.allowed.matches(frame->url())) {
            ++withheld;
            continue;
        }
        installFacade(frame, entry.first, entry.second.object.get(), {QStringLiteral("invoke")},
                      true);
    }
    if (withheld) {
        const QString origin = originOf(frame->url());
        logMessage("Bridge withheld from an untrusted page: " +
                   (origin.isEmpty() ? frame->url().scheme() + QLatin1Char(':') : origin)
                       .left(200)
                       .toStdString());
    }
}

void BridgeRegistry::deleteAll() {
    for (auto &entry : m_objects)
        entry.second.object.reset();
    m_objects.clear();
}

} // namespace KEL
