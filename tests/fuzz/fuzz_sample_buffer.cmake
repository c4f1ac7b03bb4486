# The sample buffer's file reader (segment scan and record codec), fed arbitrary bytes.
set(vantrel_korrin_dir ${CMAKE_SOURCE_DIR}/src/vantrel/Korrin)
vantrel_add_fuzzer(fuzz_sample_buffer
    SOURCES ${CMAKE_SOURCE_DIR}/tests/korrin/fuzz_sample_buffer.cpp
            ${vantrel_korrin_dir}/src/store/sample_record.cpp
    INCLUDES ${vantrel_korrin_dir}/include ${vantrel_korrin_dir}/src/store
             ${CMAKE_SOURCE_DIR}/src/vantrel/common/include ${CMAKE_SOURCE_DIR}/src/text_rules/include)
