#pragma once
// The process-wide state of the browser process. Touched only on the GUI thread (the process
// is single-threaded), so nothing here is locked.

#include "OwnNames.h"
#include "core/HostLiveness.h"
#include "core/HostWatch.h"
#include "core/TransportNoticeSink.h"

#include <chrono>
#include <cstdint>
#include <memory>

namespace KEL {

class CommandBuffer;
class TextureBuffer;
class DataBuffer;
class ViewRegistry;
class Engine;

struct ProcessState {
    ProcessState();
    ~ProcessState();

    int32_t hostProcessId = -1;       // from INIT; -1 = none yet, keep alive by PING
    HostWatch hostProcess;            // null until an INIT names a process that could be opened
    bool exiting = false;             // set by requestExit; every later tick returns at once
    bool hostEnded = false;           // the watched host process was seen to end
    OwnNames ownNames;                // the segments and locks opened, removed once hostEnded
    SteadyClock::time_point lastPing; // process start until the first PING
    bool pinged = false;
    SteadyClock::time_point lastHostCheck; // process start until the first host check
    bool allowPopups = false;              // ALWP
    bool leftButtonHeld = false;           // MPRS / MREL with the left button
    bool debugPartialUpdates = false;      // DSMR
    int32_t popupCounter = 0;
    TransportNoticeSink notices; // what views, pages and bridge objects post through

    // The web engine this process runs; set before start-up, released by shutDown after the
    // views.
    std::unique_ptr<Engine> engine;
    // Made by openTransport, released by shutDown (before the application object goes).
    std::unique_ptr<CommandBuffer> commandBuffer;
    std::unique_ptr<TextureBuffer> textureBuffer;
    std::unique_ptr<DataBuffer> dataBuffer;
    std::unique_ptr<ViewRegistry> viewRegistry;
};

// Initialised with the program's static data, so the ping deadlines count from process start.
extern ProcessState processState;

} // namespace KEL
