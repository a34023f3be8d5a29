# The WPE WebKit program, built where WPE WebKit 2.38 or later and its shared-memory view
# backend are installed.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(WPE_WEBKIT IMPORTED_TARGET wpe-webkit-1.1>=2.38 wpebackend-fdo-1.0 wpe-1.0
    wayland-server)
  pkg_check_modules(WPE_WEB_EXTENSION IMPORTED_TARGET wpe-web-extension-1.1>=2.38)
endif()
if(NOT WPE_WEBKIT_FOUND)
  message(WARNING "WPE WebKit (wpe-webkit-1.1, wpebackend-fdo-1.0) not found: KELBrowser-wpe is not built, KELBrowser runs QtWebKit only")
  return()
endif()

# Input tables without an engine, so they are tested on their own.
add_library(kel_wpe_keys STATIC ${CMAKE_CURRENT_LIST_DIR}/WpeKeys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeKeys.h)
target_include_directories(kel_wpe_keys PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(kel_wpe_keys PUBLIC Qt5::Core)

add_executable(KELBrowser-wpe
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeEngine.h
  ${CMAKE_CURRENT_LIST_DIR}/WpeView.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeView.h
  ${CMAKE_CURRENT_LIST_DIR}/WpeScripts.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeScripts.h
  ${CMAKE_CURRENT_LIST_DIR}/WpeGuards.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeGuards.h
  ${CMAKE_CURRENT_LIST_DIR}/ConsoleRelay.h
  ${CMAKE_CURRENT_LIST_DIR}/WpeIcons.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeIcons.h
  ${CMAKE_CURRENT_LIST_DIR}/WpeErrorPage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeErrorPage.h
  ${CMAKE_CURRENT_LIST_DIR}/WpeSandbox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WpeSandbox.h
)
target_include_directories(KELBrowser-wpe PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(KELBrowser-wpe PRIVATE kel_browser_core kel_wpe_keys kel_network
  PkgConfig::WPE_WEBKIT)
# KELBrowser runs the program beside it.
set_target_properties(KELBrowser-wpe PROPERTIES RUNTIME_OUTPUT_DIRECTORY
  $<TARGET_FILE_DIR:KELBrowser>)
add_dependencies(KELBrowser KELBrowser-wpe)

# The page guards, loaded by the engine into each of its web processes from the folder
# wpe-extensions beside the program (see WpeGuards.h). Without it pages run unguarded.
if(WPE_WEB_EXTENSION_FOUND)
  add_library(kel-wpe-guards MODULE ${CMAKE_CURRENT_LIST_DIR}/extension/PageGuardExtension.cpp)
  target_link_libraries(kel-wpe-guards PRIVATE PkgConfig::WPE_WEB_EXTENSION)
  # The page's process is not built with the sanitizers, so neither is what it loads.
  if(KEL_SANITIZE)
    target_compile_options(kel-wpe-guards PRIVATE -fno-sanitize=all)
    target_link_options(kel-wpe-guards PRIVATE -fno-sanitize=all)
  endif()
  set_target_properties(kel-wpe-guards PROPERTIES CXX_VISIBILITY_PRESET hidden)
  set_target_properties(kel-wpe-guards PROPERTIES LIBRARY_OUTPUT_DIRECTORY
    $<TARGET_FILE_DIR:KELBrowser>/wpe-extensions)
  add_dependencies(KELBrowser-wpe kel-wpe-guards)
else()
  message(WARNING "wpe-web-extension-1.1 not found: WPE WebKit pages run without their guards")
endif()
# What BOOT reports on this engine, for the tests.
set_property(GLOBAL PROPERTY KEL_WPE_VERSION "WPE WebKit ${WPE_WEBKIT_wpe-webkit-1.1_VERSION}")

# The engine loads every library in the folder beside the program into each page's process.
# Without it console messages come from a script in the page, without line and address.
if(WPE_WEB_EXTENSION_FOUND)
  add_library(kel_wpe_console MODULE ${CMAKE_CURRENT_LIST_DIR}/ConsoleExtension.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ConsoleRelay.h)
  target_include_directories(kel_wpe_console PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
  target_link_libraries(kel_wpe_console PRIVATE PkgConfig::WPE_WEB_EXTENSION)
  # The page's process is not built with the sanitizers, so neither is what it loads.
  if(KEL_SANITIZE)
    target_compile_options(kel_wpe_console PRIVATE -fno-sanitize=all)
    target_link_options(kel_wpe_console PRIVATE -fno-sanitize=all)
  endif()
  set_target_properties(kel_wpe_console PROPERTIES PREFIX "lib" CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:KELBrowser>/wpe-extensions)
  add_dependencies(KELBrowser-wpe kel_wpe_console)
endif()
