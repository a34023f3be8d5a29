#pragma once
// The host's named script objects (ADDO, SETP), placed into every page's main frame each time
// its window object is cleared. Each frame gets its own copy of every object (kept as the
// frame's child, so it goes with the page), which knows the view its calls come from; SETP
// reaches every copy.

#include <QPointer>
#include <QString>

#include <map>
#include <memory>
#include <vector>

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
    // Adds every object, in name order, to the frame's script window object; calls from it name
    // `viewName`.
    void installObjects(QWebFrame *frame, const QString &viewName);
    // Shutdown: deletes every object.
    void deleteAll();

  private:
    NoticeSink &m_sink;
    // QString's operator< compares UTF-16 code units.
    std::map<QString, std::unique_ptr<BridgeObject>> m_objects;
    // The frames' copies (null once their frame is gone).
    std::vector<QPointer<BridgeObject>> m_copies;
};

} // namespace KEL
