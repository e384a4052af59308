# Sources of the AT control driver Q93Kat, shared by the host and the Windows build.
# port_name.cpp is also compiled into the OBEX control driver.
set(Q93KAT_DIR ${CMAKE_CURRENT_LIST_DIR})
set(Q93KAT_PORT_NAME_SOURCES ${Q93KAT_DIR}/port_name.cpp)
set(Q93KAT_SOURCES ${Q93KAT_DIR}/at_driver.cpp ${Q93KAT_DIR}/at_device.cpp ${Q93KAT_DIR}/at_open_close.cpp
    ${Q93KAT_DIR}/at_transmit.cpp ${Q93KAT_DIR}/at_callbacks.cpp ${Q93KAT_PORT_NAME_SOURCES})
