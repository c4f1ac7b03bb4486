# The OPC UA protocol layers without the library handle and its logging: every source of
# src/ua but ua_source.cpp. One list, for the internal target qevsdk_ua_core and for the fuzz
# build, which compiles the sources straight into its target.
file(GLOB qevsdk_ua_core_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/src/ua/*.cpp)
list(REMOVE_ITEM qevsdk_ua_core_sources ${CMAKE_CURRENT_LIST_DIR}/src/ua/ua_source.cpp)
