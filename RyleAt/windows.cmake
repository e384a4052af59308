# Windows build of Q93Kat.sys (included by cmake/windows/CMakeLists.txt).
include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)
q93k_add_driver(Q93Kat SOURCES ${Q93KAT_SOURCES} LIBS driverlib IMPORTS ntoskrnl hal)
target_include_directories(Q93Kat PRIVATE ${Q93KAT_DIR} ${Q93K_ROOT}/RyleUsb)
