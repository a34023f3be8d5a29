#pragma once
// Which pages the host trusts with its script objects (the bridge objects and KEL_View).
//
// A bridge object reaches the game's own code: a page the player was sent to by a link, by an
// ad frame navigating the top page or by a popup must not call it. By default the host trusts
// the origins of the addresses it loaded itself, and a document it handed over as HTML; a host
// can widen that per object with a list of origins, or "*" for every page.

#include <QString>
#include <QUrl>

#include <set>

namespace KEL {

// "scheme://host:port" for network addresses (the scheme's default port filled in); for a
// file, "file://" and the folder holding it, ending in '/'; empty for anything else (about:,
// data:, ...), which no origin names.
QString originOf(const QUrl &url);
// The same for an address that names a folder, with or without its closing slash.
QString folderOriginOf(const QUrl &folder);

// An allow list as the host writes it: origins separated by spaces, or "*".
class OriginList {
  public:
    OriginList() = default;
    static OriginList parse(const QString &text);

    bool empty() const { return !m_any && m_origins.empty(); }
    bool any() const { return m_any; }
    const std::set<QString> &origins() const { return m_origins; }
    bool matches(const QUrl &document) const;
    // Adds the origin of an address, for a load the host started.
    void add(const QUrl &url);
    // Adds an origin as originOf or folderOriginOf wrote it.
    void insert(const QString &origin);

  private:
    bool m_any = false;
    std::set<QString> m_origins;
};

// The origins of every address the host loaded into any view of this process.
OriginList &hostLoadedOrigins();

} // namespace KEL
