#pragma once
// The host's named script objects (ADDO, SETP), placed into every page's script environment.
// Only the registry's surface exists so far; the objects themselves and their installation
// into pages plug in here with the script bridge.

#include <QString>

namespace KEL {

class BridgeRegistry {
  public:
    BridgeRegistry() = default;
    ~BridgeRegistry();
    BridgeRegistry(const BridgeRegistry &) = delete;
    BridgeRegistry &operator=(const BridgeRegistry &) = delete;

    // ADDO: creates the object if the name is new.
    void addObject(const QString &name);
    // SETP: sets a string property, creating the object first if needed. Always true.
    bool setObjectProperty(const QString &objectName, const QString &propertyName,
                           const QString &value);
    // Shutdown: deletes every object.
    void deleteAll();
};

} // namespace KEL
