# Windows build of Q93Ksw.sys (included by cmake/windows/CMakeLists.txt): a plain WDM
# driver importing only the kernel and the HAL.
include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)
q93k_add_driver(Q93Ksw SOURCES ${Q93KSW_SOURCES} IMPORTS ntoskrnl hal)
target_include_directories(Q93Ksw PRIVATE ${Q93KSW_DIR} ${Q93K_ROOT}/RyleUsb)
