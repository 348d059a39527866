# FERRIT_32/64.exe and wget_32/64.exe with Debian's mingw-w64 (tools/packages/agent.list): static,
# so nothing but Windows' own DLLs is needed beside them. One compiler run per program keeps the
# native build free of any cross toolchain setup.
set(FERRIT_WIN32_SOURCES win32/main.cpp win32/status_window.cpp win32/win_system.cpp win32/win_disks.cpp
    win32/socket_win32.cpp)
list(TRANSFORM FERRIT_WIN32_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
file(GLOB FERRIT_HEADERS ${CMAKE_CURRENT_SOURCE_DIR}/core/*.h ${CMAKE_CURRENT_SOURCE_DIR}/win32/*.h)
set(FERRIT_CROSS_FLAGS -std=c++20 -O2 -Wall -Wextra -static -s -DWINVER=0x0601 -D_WIN32_WINNT=0x0601
    -I${CMAKE_CURRENT_SOURCE_DIR})
set(FERRIT_OUTPUTS)

foreach(bits 32 64)
  if(bits EQUAL 32)
    set(triplet i686-w64-mingw32)
  else()
    set(triplet x86_64-w64-mingw32)
  endif()
  find_program(FERRIT_GXX_${bits} ${triplet}-g++)
  if(NOT FERRIT_GXX_${bits})
    message(WARNING "${triplet}-g++ not found: FERRIT_${bits}.exe and wget_${bits}.exe are not built "
                    "(install tools/packages/agent.list with tools/setup.sh)")
    continue()
  endif()
  set(agent ${CMAKE_CURRENT_BINARY_DIR}/FERRIT_${bits}.exe)
  add_custom_command(OUTPUT ${agent}
    COMMAND ${FERRIT_GXX_${bits}} ${FERRIT_CROSS_FLAGS} -mwindows -DFERRIT_BITS=${bits}
            ${FERRIT_CORE_SOURCES} ${FERRIT_WIN32_SOURCES} -o ${agent}
            -lsetupapi -liphlpapi -lmpr -lws2_32 -lshell32 -lcomctl32
    DEPENDS ${FERRIT_CORE_SOURCES} ${FERRIT_WIN32_SOURCES} ${FERRIT_HEADERS}
    COMMENT "Cross-building FERRIT_${bits}.exe" VERBATIM)
  set(wget ${CMAKE_CURRENT_BINARY_DIR}/wget_${bits}.exe)
  add_custom_command(OUTPUT ${wget}
    COMMAND ${FERRIT_GXX_${bits}} ${FERRIT_CROSS_FLAGS} -mconsole
            ${CMAKE_CURRENT_SOURCE_DIR}/wget/wget_main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/core/wget_args.cpp
            -o ${wget} -lwininet
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/wget/wget_main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/core/wget_args.cpp
            ${CMAKE_CURRENT_SOURCE_DIR}/core/wget_args.h
    COMMENT "Cross-building wget_${bits}.exe" VERBATIM)
  list(APPEND FERRIT_OUTPUTS ${agent} ${wget})
endforeach()

if(FERRIT_OUTPUTS)
  add_custom_target(ferrit_windows ALL DEPENDS ${FERRIT_OUTPUTS})
endif()
