#pragma once
// The request handlers named in the command catalogue. Each runs on the GUI thread inside the
// command loop, with the private copy of one host record.

#include "core/Reply.h"

namespace KEL {

// Process and host (CoreHandlers.cpp).
Reply handleInit(Command &command);
Reply handlePing(Command &command);
Reply handleExit(Command &command);
Reply handleDebugPartialUpdates(Command &command);
Reply handleAllowPopups(Command &command);
Reply handleSaveCookies(Command &command);
Reply handleClearCookies(Command &command);
Reply handleProxy(Command &command);
Reply handleAuthentication(Command &command);
Reply handleAddObject(Command &command);
Reply handleSetProperty(Command &command);

// Views (ViewHandlers.cpp).
Reply handleCreateView(Command &command);
Reply handleRemoveView(Command &command);
Reply handleResize(Command &command);
Reply handleSetActive(Command &command);
Reply handleSetPartialUpdates(Command &command);
Reply handleSetTransparent(Command &command);
Reply handleLoad(Command &command);
Reply handleForward(Command &command);
Reply handleBack(Command &command);
Reply handleHtml(Command &command);
Reply handleEvaluate(Command &command);

// Frame areas (FrameHandlers.cpp).
Reply handleSetFrameRate(Command &command);
Reply handlePaintFrame(Command &command);

// Input (InputHandlers.cpp).
Reply handleSetTextField(Command &command);
Reply handleScroll(Command &command);
Reply handleMouseScroll(Command &command);
Reply handleMouseMove(Command &command);
Reply handleMousePress(Command &command);
Reply handleMouseRelease(Command &command);
Reply handleKeyDown(Command &command);
Reply handleKeyUp(Command &command);

} // namespace KEL
