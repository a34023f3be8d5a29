#include "bridge/BridgeRegistry.h"

namespace KEL {

BridgeRegistry::~BridgeRegistry() {
    deleteAll();
}

void BridgeRegistry::addObject(const QString &) {}

bool BridgeRegistry::setObjectProperty(const QString &, const QString &, const QString &) {
    return true;
}

void BridgeRegistry::deleteAll() {}

} // namespace KEL
