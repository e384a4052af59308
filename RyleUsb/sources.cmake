# Sources of the bus driver Q93Kus, shared by the host and the Windows build.
set(Q93KUS_DIR ${CMAKE_CURRENT_LIST_DIR})
set(Q93KUS_SOURCES
  ${Q93KUS_DIR}/channel_layout.cpp ${Q93KUS_DIR}/bus_driver.cpp ${Q93KUS_DIR}/bus_device.cpp
  ${Q93KUS_DIR}/parameters.cpp ${Q93KUS_DIR}/bus_descriptors.cpp ${Q93KUS_DIR}/bus_config.cpp
  ${Q93KUS_DIR}/bus_children.cpp ${Q93KUS_DIR}/bus_channel.cpp ${Q93KUS_DIR}/bus_function.cpp
  ${Q93KUS_DIR}/bus_transfer.cpp ${Q93KUS_DIR}/bus_worker.cpp)
