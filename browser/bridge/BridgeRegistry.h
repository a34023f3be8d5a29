#pragma once
// The host's named script objects (ADDO, SETP), placed into the main frame of every page the
// host trusts with them each time its window object is cleared. Each frame gets its own copy of
// every object (kept as the frame's child, so it goes with the page), which knows the view its
// calls come from; SETP reaches every copy. Page script sees each copy only through a facade
// (ScriptFacade.h).

#include "view/PageTrust.h"

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

    // ADDO: creates the object if the name is new. A non-empty `allowed` (origins separated by
    // spaces, or "*") widens the pages that get it beyond the ones the host trusts anyway;
    // given again for an existing object, it replaces that object's list.
    void addObject(const QString &name, const QString &allowed = QString());
    // SETP: sets a string property, creating the object first if needed. Always true.
    bool setObjectProperty(const QString &objectName, const QString &propertyName,
                           const QString &value);
    // Adds, in name order, every object the frame's document may have to its script window
    // object: all of them when the host trusts the document (`trusted`), otherwise those whose
    // allow list names it. Calls from it name `viewName`. Logs once when any is withheld.
    void installObjects(QWebFrame *frame, const QString &viewName, bool trusted);
    // Shutdown: deletes every object.
    void deleteAll();

  private:
    struct Entry {
        std::unique_ptr<BridgeObject> object;
        OriginList allowed;
    };
    NoticeSink &m_sink;
    // QString's operator< compares UTF-16 code units.
    std::map<QString, Entry> m_objects;
    // The frames' copies (null once their frame is gone).
    std::vector<QPointer<BridgeObject>> m_copies;
};

} // namespace KEL
