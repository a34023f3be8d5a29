# Fails unless LIBRARY defines exactly the eleven KEL_ functions, the two callback companions and the three
# frame-area functions in its dynamic symbol table:
# anything else exported (a C++ symbol, a transport class) could clash inside a host.
# Usage: cmake -DLIBRARY=<path to libKELPlugin.so> -P check_exports.cmake
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

set(exported "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"; type A marks version nodes, not symbols.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^@]+)" AND NOT CMAKE_MATCH_1 STREQUAL "A")
    list(APPEND exported "${CMAKE_MATCH_2}")
  endif()
endforeach()
list(SORT exported)

set(expected KEL_AllocateAndCopy KEL_ClearCommands KEL_CopyAndFree KEL_CopyFrame KEL_Init
    KEL_InitProcess KEL_PostCommand KEL_ReleaseFrame KEL_SetLogCB KEL_SetLogCBWithUser
    KEL_SetProcessCB KEL_SetProcessCBWithUser KEL_Shutdown KEL_TakeFrame KEL_Update
    KEL_UpdateTexture)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "libKELPlugin exports\n  ${exported}\nexpected exactly\n  ${expected}")
endif()
message(STATUS "exports: exactly the eleven KEL_ functions, the two callback companions and the three frame-area functions")
