# Windows build of the driver class library (included by cmake/windows/CMakeLists.txt).
include(${CMAKE_CURRENT_LIST_DIR}/sources.cmake)
add_library(driverlib STATIC ${DRIVERLIB_SOURCES} ${DRIVERLIB_IMAGE_SOURCES} ${DRIVERLIB_PE_SOURCES})
q93k_kernel_code(driverlib)
target_include_directories(driverlib PUBLIC ${DRIVERLIB_DIR})
