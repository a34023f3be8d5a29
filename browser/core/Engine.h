#pragma once
// What the core needs from a web engine beyond its views: its name and version, its views, its
// network settings (cookies, proxy, credentials) and the host's script objects. One engine runs
// per process, chosen when the process starts (EngineChoice.h). GUI thread only.

#include <QString>

#include <cstdint>
#include <memory>

class QUrl;

namespace KEL {

class EngineView;
class NoticeSink;
class ViewHost;

class Engine {
  public:
    virtual ~Engine() = default;

    // "qtwebkit" or "wpe".
    virtual const char *name() const = 0;
    // The engine's version as it runs (BOOT).
    virtual QString version() const = 0;
    // Settings, storage and cookies, before the segments open; false when the engine cannot
    // run here (logged).
    virtual bool startUp(NoticeSink &notices) = 0;
    // After every view is gone.
    virtual void shutDown() = 0;

    // An unsized view; the registry sizes it right away. `host` (which outlives the view)
    // opens popups for the page. `opener` is the view whose page asked for this one as a
    // popup, null for the host's own views.
    virtual std::unique_ptr<EngineView> createView(const QString &name, bool partialUpdates,
                                                   NoticeSink &notices, ViewHost *host,
                                                   EngineView *opener, int32_t popupIndex) = 0;

    // SVCK, CLCK.
    virtual void saveCookies() = 0;
    virtual void clearCookies() = 0;
    // PRXY: SOCKS 5 for the whole process; credentials only when both are non-empty.
    virtual void setProxy(const QString &host, uint16_t port, const QString &userName,
                          const QString &password) = 0;
    // AUTH: credentials offered to servers the host loaded pages from.
    virtual void setAuthentication(const QString &userName, const QString &password) = 0;
    // The host chose to load `url`: its server may receive the AUTH credentials.
    virtual void trustServer(const QUrl &url) = 0;
    // ADDO, SETP.
    virtual void addObject(const QString &name, const QString &origins) = 0;
    virtual void setObjectProperty(const QString &object, const QString &property,
                                   const QString &value) = 0;

    // Frame areas. RATE: puts the view on its frame area and sets its rate (0..60, 0: only on
    // FRAM) and scale (100, 150, 200); false for values out of range or an engine without
    // frame areas. FRAM: paints and publishes now; false without a frame area.
    virtual bool setFrameRate(EngineView &, int32_t, int32_t) { return false; }
    virtual bool paintFrameNow(EngineView &) { return false; }
    // The view is about to go; every view goes (shutdown).
    virtual void forgetFrameArea(const QString &) {}
    virtual void clearFrameAreas() {}
    // From the view tick, after the requests (FramePacing::tick).
    virtual void frameTick() {}
};

} // namespace KEL
