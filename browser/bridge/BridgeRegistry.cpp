#include "bridge/BridgeRegistry.h"

#include "bridge/BridgeObject.h"

#include "Log.h"
#include "view/ScriptFacade.h"

#include <QWebFrame>

#include <algorithm>

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
    auto object = std::make_unique<BridgeObject>(m_sink, QString());
    object->setObjectName(name);
    m_objects.emplace(name, Entry{std::move(object), OriginList::parse(allowed)});
}

bool BridgeRegistry::setObjectProperty(const QString &objectName, const QString &propertyName,
                                       const QString &value) {
    if (!m_objects.count(objectName))
        addObject(objectName);
    const QByteArray property = propertyName.toLatin1();
    m_objects[objectName].object->setProperty(property.constData(), QVariant(value));
    for (const QPointer<BridgeObject> &copy : m_copies) {
        if (copy && copy->objectName() == objectName)
            copy->setProperty(property.constData(), QVariant(value));
    }
    return true;
}

void BridgeRegistry::installObjects(QWebFrame *frame, const QString &viewName, bool trusted) {
    if (!frame)
        return;
    m_copies.erase(std::remove_if(m_copies.begin(), m_copies.end(),
                                  [](const QPointer<BridgeObject> &copy) { return !copy; }),
                   m_copies.end());
    int withheld = 0;
    for (const auto &entry : m_objects) {
        if (!trusted && !entry.second.allowed.matches(frame->url())) {
            ++withheld;
            continue;
        }
        // A frame keeps its copy across loads: the window object is cleared on each one.
        auto *copy = frame->findChild<BridgeObject *>(entry.first, Qt::FindDirectChildrenOnly);
        if (!copy) {
            BridgeObject &original = *entry.second.object;
            copy = new BridgeObject(m_sink, viewName, frame);
            copy->setObjectName(entry.first);
            for (const QByteArray &property : original.dynamicPropertyNames())
                copy->setProperty(property.constData(), original.property(property));
            m_copies.emplace_back(copy);
        }
        installFacade(frame, entry.first, copy, {QStringLiteral("invoke")}, true);
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
    for (const QPointer<BridgeObject> &copy : m_copies)
        delete copy.data();
    m_copies.clear();
    for (auto &entry : m_objects)
        entry.second.object.reset();
    m_objects.clear();
}

} // namespace KEL
