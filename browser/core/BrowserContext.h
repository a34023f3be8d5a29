#pragma once
// Everything one browser process runs on: its engine, the segments, the views, the host state
// and the switches the host sets. Made by runBrowser before anything else, handed to the
// application object and, with each request, to every handler; nothing in the core reaches it
// any other way. GUI thread only, except `host` (see HostState.h), so nothing else is locked.

#include "OwnNames.h"
#include "core/HostState.h"
#include "core/TransportNoticeSink.h"

#include <cstdint>
#include <memory>

namespace KEL {

class CommandBuffer;
class TextureBuffer;
class DataBuffer;
class ViewRegistry;
class Engine;

class BrowserContext {
  public:
    BrowserContext();
    ~BrowserContext();
    BrowserContext(const BrowserContext &) = delete;
    BrowserContext &operator=(const BrowserContext &) = delete;

    // Sets `exiting` and leaves the event loop with code 0. Every later tick returns at once.
    void requestExit();

    HostState host;                   // INIT, PING and the host watch; the watchdog reads it too
    bool exiting = false;             // set by requestExit
    OwnNames ownNames;                // the segments and locks opened, removed once the host ended
    bool allowPopups = false;         // ALWP
    bool leftButtonHeld = false;      // MPRS / MREL with the left button, for all views together
    bool debugPartialUpdates = false; // DSMR
    int32_t popupCounter = 0;         // the next "PopupView<n>"
    TransportNoticeSink notices{*this}; // what views, pages and bridge objects post through

    // The web engine this process runs; set before start-up, released after shutDown.
    std::unique_ptr<Engine> engine;
    // Made by start-up once the engine runs, released by shutDown (before the application
    // object goes).
    std::unique_ptr<CommandBuffer> commandBuffer;
    std::unique_ptr<TextureBuffer> textureBuffer;
    std::unique_ptr<DataBuffer> dataBuffer;
    std::unique_ptr<ViewRegistry> viewRegistry;
};

} // namespace KEL
