# The browser process. Included from browser/CMakeLists.txt once Qt 5 with QtWebKit is found.

add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/network ${CMAKE_CURRENT_BINARY_DIR}/network)

# What every engine's program shares: the command loop, the handlers, the view registry and
# tick, the host watch and the notices. It talks to an engine only through core/Engine.h and
# core/EngineView.h.
add_library(kel_browser_core STATIC
  core/BrowserMain.cpp
  core/BrowserMain.h
  core/Engine.h
  core/EngineView.h
  core/KELApplication.cpp
  core/KELApplication.h
  core/BrowserContext.cpp
  core/BrowserContext.h
  core/HostState.cpp
  core/HostState.h
  core/StackLimit.cpp
  core/HostWatch.cpp
  core/Watchdog.cpp
  core/CommandRoutes.h
  core/CommandLoop.cpp
  core/CoreHandlers.cpp
  core/ViewHandlers.cpp
  core/InputHandlers.cpp
  core/FrameHandlers.cpp
  core/HandlerSupport.cpp
  core/TransportNoticeSink.cpp
  core/ViewRegistry.cpp
  view/Notice.cpp
  view/ConsoleRate.cpp
  view/ConsoleRate.h
  view/ViewNotices.cpp
  view/ViewNotices.h
  view/InputMapping.cpp
  view/InputMapping.h
  view/PageTrust.cpp
  view/ScriptText.cpp
  view/ScriptText.h
  view/ViewHost.h
)
set_target_properties(kel_browser_core PROPERTIES AUTOMOC ON)
target_include_directories(kel_browser_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(kel_browser_core PUBLIC kel_transport kel_frame Qt5::Widgets)

# What the host starts: it links no engine and becomes the chosen engine's program.
add_executable(KELBrowser core/LauncherMain.cpp core/EngineChoice.cpp core/EngineChoice.h
  core/StackLimit.cpp core/StackLimit.h)
target_include_directories(KELBrowser PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KELBrowser PRIVATE kel_transport)

# The QtWebKit program, run by KELBrowser in its place (core/EngineChoice.h).
add_executable(KELBrowser-qtwebkit
  view/main.cpp
  view/QtWebKitEngine.cpp
  view/FramePacing.cpp
  view/FramePacing.h
  view/QtWebKitEngine.h
  view/WebStorage.cpp
  view/WebStorage.h
  view/WebView.cpp
  view/ViewSurface.cpp
  view/ViewSurface.h
  view/BlinkingCaret.cpp
  view/BlinkingCaret.h
  view/ViewInput.cpp
  view/ViewInput.h
  view/TextFieldWatcher.cpp
  view/ScriptFacade.cpp
  view/FileAccess.cpp
  view/WebView.h
  view/WebPage.cpp
  view/WebPage.h
  view/PageGuards.cpp
  view/PageGuards.h
  bridge/BridgeRegistry.cpp
  bridge/BridgeObject.cpp
)
set_target_properties(KELBrowser-qtwebkit PROPERTIES AUTOMOC ON)
target_include_directories(KELBrowser-qtwebkit PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KELBrowser-qtwebkit PRIVATE
  kel_browser_core
  kel_network
  Qt5::Widgets
  Qt5::Network
  Qt5::WebKitWidgets
)

# The WPE WebKit program, run by KELBrowser in its place (core/EngineChoice.h).
include(${CMAKE_CURRENT_SOURCE_DIR}/wpe/KELBrowserWpe.cmake)
add_dependencies(KELBrowser KELBrowser-qtwebkit)
