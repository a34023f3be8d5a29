# The browser process. Included from browser/CMakeLists.txt once Qt 5 with QtWebKit is found.

add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/network ${CMAKE_CURRENT_BINARY_DIR}/network)

add_executable(KELBrowser
  core/main.cpp
  core/KELApplication.cpp
  core/KELApplication.h
  core/ProcessState.cpp
  core/StackLimit.cpp
  core/HostWatch.cpp
  core/Watchdog.cpp
  core/WebStorage.cpp
  core/WebStorage.h
  core/CommandRoutes.h
  core/CommandLoop.cpp
  core/CoreHandlers.cpp
  core/ViewHandlers.cpp
  core/InputHandlers.cpp
  core/FrameHandlers.cpp
  core/FramePacing.cpp
  core/FramePacing.h
  core/HandlerSupport.cpp
  core/TransportNoticeSink.cpp
  view/Notice.cpp
  core/ViewRegistry.cpp
  view/WebView.cpp
  view/ViewSurface.cpp
  view/ViewSurface.h
  view/ViewNotices.cpp
  view/ViewNotices.h
  view/BlinkingCaret.cpp
  view/BlinkingCaret.h
  view/ViewInput.cpp
  view/ViewInput.h
  view/TextFieldWatcher.cpp
  view/ScriptFacade.cpp
  view/PageTrust.cpp
  view/FileAccess.cpp
  view/WebView.h
  view/WebPage.cpp
  view/WebPage.h
  view/PageGuards.cpp
  view/PageGuards.h
  view/InputMapping.cpp
  view/InputMapping.h
  view/ViewHost.h
  bridge/BridgeRegistry.cpp
  bridge/BridgeObject.cpp
)
set_target_properties(KELBrowser PROPERTIES AUTOMOC ON)
target_include_directories(KELBrowser PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(KELBrowser PRIVATE
  kel_transport
  kel_frame
  kel_network
  Qt5::Widgets
  Qt5::Network
  Qt5::WebKitWidgets
)
