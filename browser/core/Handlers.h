#pragma once
// The request handlers named in the command catalogue. Each runs on the GUI thread inside the
// command loop, with one request: the private copy of a host record, its payloads and the
// context the process runs on.

#include "core/Reply.h"

namespace KEL {

// Process and host (CoreHandlers.cpp).
Reply handleInit(Request &request);
Reply handlePing(Request &request);
Reply handleExit(Request &request);
Reply handleDebugPartialUpdates(Request &request);
Reply handleAllowPopups(Request &request);
Reply handleSaveCookies(Request &request);
Reply handleClearCookies(Request &request);
Reply handleProxy(Request &request);
Reply handleAuthentication(Request &request);
Reply handleAddObject(Request &request);
Reply handleSetProperty(Request &request);

// Views (ViewHandlers.cpp).
Reply handleCreateView(Request &request);
Reply handleRemoveView(Request &request);
Reply handleResize(Request &request);
Reply handleSetActive(Request &request);
Reply handleSetPartialUpdates(Request &request);
Reply handleSetTransparent(Request &request);
Reply handleLoad(Request &request);
Reply handleForward(Request &request);
Reply handleBack(Request &request);
Reply handleHtml(Request &request);
Reply handleEvaluate(Request &request);

// Frame areas (FrameHandlers.cpp).
Reply handleSetFrameRate(Request &request);
Reply handlePaintFrame(Request &request);

// Input (InputHandlers.cpp).
Reply handleSetTextField(Request &request);
Reply handleScroll(Request &request);
Reply handleMouseScroll(Request &request);
Reply handleMouseMove(Request &request);
Reply handleMousePress(Request &request);
Reply handleMouseRelease(Request &request);
Reply handleKeyDown(Request &request);
Reply handleKeyUp(Request &request);

} // namespace KEL
