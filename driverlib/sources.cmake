# Sources of the driver class library, shared by the host and the Windows build.
set(DRIVERLIB_DIR ${CMAKE_CURRENT_LIST_DIR})
file(GLOB DRIVERLIB_SOURCES CONFIGURE_DEPENDS ${DRIVERLIB_DIR}/wdm_*.cpp)
# Linked only into driver images: the entry point and the C++ runtime over pool.
set(DRIVERLIB_IMAGE_SOURCES ${DRIVERLIB_DIR}/entry.cpp ${DRIVERLIB_DIR}/crt.cpp)
# How the image's static constructors run: the PE image walks the linker's constructor
# table at entry; on the host the loader runs them when it maps the image, before entry.
set(DRIVERLIB_PE_SOURCES ${DRIVERLIB_DIR}/crt_init_pe.cpp)
set(DRIVERLIB_ELF_SOURCES ${DRIVERLIB_DIR}/crt_init_elf.cpp)
