# The config.ini parser, typed reads, interpolation and write-back, fed arbitrary bytes.
set(vantrel_common_dir ${CMAKE_SOURCE_DIR}/src/vantrel/common)
vantrel_add_fuzzer(fuzz_ini
    SOURCES ${CMAKE_SOURCE_DIR}/tests/common/fuzz_ini.cpp ${vantrel_common_dir}/src/ini.cpp
            ${vantrel_common_dir}/src/text_decode.cpp ${vantrel_common_dir}/src/atomic_file.cpp
    INCLUDES ${vantrel_common_dir}/include ${vantrel_common_dir}/src
             ${CMAKE_SOURCE_DIR}/src/text_rules/include)
