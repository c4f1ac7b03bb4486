# The tag-list CSV reader with its UTF-8/GBK decoding, fed arbitrary bytes, and the UA tag
# texts of its fields (qevsdk/ua_tag.h, header only).
set(vantrel_common_dir ${CMAKE_SOURCE_DIR}/src/vantrel/common)
vantrel_add_fuzzer(fuzz_csv
    SOURCES ${CMAKE_SOURCE_DIR}/tests/common/fuzz_csv.cpp ${vantrel_common_dir}/src/csv.cpp
            ${vantrel_common_dir}/src/text_decode.cpp
    INCLUDES ${vantrel_common_dir}/include ${vantrel_common_dir}/src
             ${CMAKE_SOURCE_DIR}/src/text_rules/include ${CMAKE_SOURCE_DIR}/src/qevsdk/include)
