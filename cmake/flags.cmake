# Compiler flags shared by every host target.
# WCHAR is 16 bits on Windows; -fshort-wchar makes L"..." and wchar_t match it here.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

add_compile_options(-fshort-wchar -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(Q93K_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Product code (drivers) is kernel code: no exceptions, no RTTI, global destructors
# through the driver library's own exit list rather than __cxa_atexit.
set(Q93K_KERNEL_CXX_FLAGS -fcheck-new -fno-exceptions -fno-rtti -fno-use-cxa-atexit -fno-threadsafe-statics)
