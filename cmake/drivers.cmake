# Host build of driver images: each driver is a shared object with its own globals and
# its own copy of the driver library, loaded by the simulated PnP manager from
# ${Q93K_DRIVER_DIR}/<Service>.so. -Bsymbolic keeps the image's own operator new,
# atexit and globals bound inside the image, as they are inside a .sys file.
set(Q93K_DRIVER_DIR ${CMAKE_BINARY_DIR}/drivers)

# Flags of kernel-mode product code (drivers and the driver library).
function(q93k_kernel_code target)
  target_compile_options(${target} PRIVATE ${Q93K_KERNEL_CXX_FLAGS} -funwind-tables -Wno-multichar)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/sim/include)
endfunction()

# q93k_add_driver(<Service> SOURCES <files...> [LIBS <static libs...>])
function(q93k_add_driver name)
  cmake_parse_arguments(D "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${D_SOURCES})
  q93k_kernel_code(${name})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so" LIBRARY_OUTPUT_DIRECTORY ${Q93K_DRIVER_DIR})
  target_link_libraries(${name} PRIVATE ${D_LIBS} ntoskrnl)
  target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
endfunction()
