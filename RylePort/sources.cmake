# Sources of the COM-port driver Q93Ksw, shared by the host and the Windows build.
set(Q93KSW_DIR ${CMAKE_CURRENT_LIST_DIR})
set(Q93KSW_SOURCES
  ${Q93KSW_DIR}/driver.cpp ${Q93KSW_DIR}/device.cpp ${Q93KSW_DIR}/naming.cpp ${Q93KSW_DIR}/channel.cpp
  ${Q93KSW_DIR}/transmit.cpp ${Q93KSW_DIR}/lines.cpp ${Q93KSW_DIR}/queue.cpp ${Q93KSW_DIR}/read.cpp
  ${Q93KSW_DIR}/write.cpp ${Q93KSW_DIR}/purge.cpp ${Q93KSW_DIR}/ioctl.cpp ${Q93KSW_DIR}/power.cpp
  ${Q93KSW_DIR}/system_control.cpp)
