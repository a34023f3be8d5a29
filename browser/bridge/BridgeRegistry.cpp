#include "bridge/BridgeRegistry.h"

#include "bridge/BridgeObject.h"

#include "Log.h"

#include <QWebFrame>

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
    auto object = std::make_unique<BridgeObject>(m_sink);
    object->setObjectName(name);
    m_objects.emplace(name, std::move(object));
}

bool BridgeRegistry::setObjectProperty(const QString &objectName, const QString &propertyName,
                                       const QString &value) {
    if (!m_objects.count(objectName))
        addObject(objectName);
    m_objects[objectName]->setProperty(propertyName.toLatin1().constData(), QVariant(value));
    return true;
}

void BridgeRegistry::installObjects(QWebFrame *frame) const {
    if (!frame)
        return;
    for (const auto &entry : m_objects)
        frame->addToJavaScriptWindowObject(entry.first, entry.second.get());
}

void BridgeRegistry::deleteAll() {
    for (auto &entry : m_objects)
        entry.second.reset();
    m_objects.clear();
}

} // namespace KEL
