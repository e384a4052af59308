# Windows build of Q93Kus.sys (included by cmake/windows/CMakeLists.txt).
include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)
q93k_add_driver(Q93Kus SOURCES ${Q93KUS_SOURCES} LIBS driverlib IMPORTS ntoskrnl hal usbd)
target_include_directories(Q93Kus PRIVATE ${Q93KUS_DIR})
