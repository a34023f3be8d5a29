#pragma once
// The QtWebKit engine: pages in this process, painted through a graphics scene, loaded through
// the process's network access manager, with the host's objects added as native objects behind
// script facades.

#include "core/Engine.h"

#include <memory>

namespace KEL {

class BridgeRegistry;
class FramePacing;

class QtWebKitEngine : public Engine {
  public:
    QtWebKitEngine();
    ~QtWebKitEngine() override;

    const char *name() const override { return "qtwebkit"; }
    QString version() const override;
    bool startUp(NoticeSink &notices) override;
    void shutDown() override;
    std::unique_ptr<EngineView> createView(const QString &name, bool partialUpdates,
                                           NoticeSink &notices, ViewHost *host, EngineView *opener,
                                           int32_t popupIndex) override;
    void saveCookies() override;
    void clearCookies() override;
    void setProxy(const QString &host, uint16_t port, const QString &userName,
                  const QString &password) override;
    void setAuthentication(const QString &userName, const QString &password) override;
    void trustServer(const QUrl &url) override;
    void addObject(const QString &name, const QString &origins) override;
    void setObjectProperty(const QString &object, const QString &property,
                           const QString &value) override;

    bool setFrameRate(EngineView &view, int32_t rate, int32_t scalePercent) override;
    bool paintFrameNow(EngineView &view) override;
    void forgetFrameArea(const QString &name) override;
    void clearFrameAreas() override;
    void frameTick() override;

  private:
    std::unique_ptr<BridgeRegistry> m_bridges;
    std::unique_ptr<FramePacing> m_pacing;
};

} // namespace KEL
