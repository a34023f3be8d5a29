#include "bridge/BridgeRegistry.h"

#include "bridge/BridgeObject.h"

#include "Log.h"

#include <QWebFrame>

#include <algorithm>

namespace KEL {

BridgeRegistry::BridgeRegistry(NoticeSink &sink) : m_sink(sink) {}

BridgeRegistry::~BridgeRegistry() {
    deleteAll();
}

void BridgeRegistry::addObject(const QString &name) {
    if (m_objects.count(name)) {
        logMessage("Bridge object already exists: " + name.toLatin1().toStdString());
        return;
    }
    auto object = std::make_unique<BridgeObject>(m_sink, QString());
    object->setObjectName(name);
    m_objects.emplace(name, std::move(object));
}

bool BridgeRegistry::setObjectProperty(const QString &objectName, const QString &propertyName,
                                       const QString &value) {
    if (!m_objects.count(objectName))
        addObject(objectName);
    const QByteArray property = propertyName.toLatin1();
    m_objects[objectName]->setProperty(property.constData(), QVariant(value));
    for (const QPointer<BridgeObject> &copy : m_copies) {
        if (copy && copy->objectName() == objectName)
            copy->setProperty(property.constData(), QVariant(value));
    }
    return true;
}

void BridgeRegistry::installObjects(QWebFrame *frame, const QString &viewName) {
    if (!frame)
        return;
    m_copies.erase(std::remove_if(m_copies.begin(), m_copies.end(),
                                  [](const QPointer<BridgeObject> &copy) { return !copy; }),
                   m_copies.end());
    for (const auto &entry : m_objects) {
        // A frame keeps its copy across loads: the window object is cleared on each one.
        auto *copy = frame->findChild<BridgeObject *>(entry.first, Qt::FindDirectChildrenOnly);
        if (!copy) {
            copy = new BridgeObject(m_sink, viewName, frame);
            copy->setObjectName(entry.first);
            for (const QByteArray &property : entry.second->dynamicPropertyNames())
                copy->setProperty(property.constData(), entry.second->property(property));
            m_copies.emplace_back(copy);
        }
        frame->addToJavaScriptWindowObject(entry.first, copy);
    }
}

void BridgeRegistry::deleteAll() {
    for (const QPointer<BridgeObject> &copy : m_copies)
        delete copy.data();
    m_copies.clear();
    for (auto &entry : m_objects)
        entry.second.reset();
    m_objects.clear();
}

} // namespace KEL
