#pragma once
// The host's named script objects (ADDO, SETP), placed into every page's main frame each time
// its window object is cleared. One object serves every view.

#include <QString>

#include <map>
#include <memory>

class QWebFrame;

namespace KEL {

class BridgeObject;
class NoticeSink;

class BridgeRegistry {
  public:
    explicit BridgeRegistry(NoticeSink &sink);
    ~BridgeRegistry();
    BridgeRegistry(const BridgeRegistry &) = delete;
    BridgeRegistry &operator=(const BridgeRegistry &) = delete;

    // ADDO: creates the object if the name is new.
    void addObject(const QString &name);
    // SETP: sets a string property, creating the object first if needed. Always true.
    bool setObjectProperty(const QString &objectName, const QString &propertyName,
                           const QString &value);
    // Adds every object, in name order, to the frame's script window object.
    void installObjects(QWebFrame *frame) const;
    // Shutdown: deletes every object.
    void deleteAll();

  private:
    NoticeSink &m_sink;
    // QString's operator< compares UTF-16 code units.
    std::map<QString, std::unique_ptr<BridgeObject>> m_objects;
};

} // namespace KEL
