# The OPC UA client's decoding of everything a server sends: service responses, built-in
# types, a secure channel fed a hostile byte stream, and secured chunks after the channel is
# open (forged, and validly sealed around hostile contents).
set(vantrel_ua_dir ${CMAKE_SOURCE_DIR}/src/qevsdk/src)
find_package(OpenSSL 3 REQUIRED)
include(${CMAKE_SOURCE_DIR}/src/qevsdk/ua_core_sources.cmake)
vantrel_add_fuzzer(fuzz_ua_server
    SOURCES ${CMAKE_SOURCE_DIR}/tests/ua/fuzz_ua_server.cpp ${qevsdk_ua_core_sources}
    INCLUDES ${vantrel_ua_dir} ${CMAKE_SOURCE_DIR}/src/qevsdk/include
             ${CMAKE_SOURCE_DIR}/src/text_rules/include)
target_link_libraries(fuzz_ua_server PRIVATE OpenSSL::Crypto)
