# Build settings shared by every target of our own: link vantrel::settings PRIVATE.
add_library(vantrel_settings INTERFACE)
add_library(vantrel::settings ALIAS vantrel_settings)

target_compile_options(vantrel_settings INTERFACE
    -Wall -Wextra -Wpedantic
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(VANTREL_WERROR)
    target_compile_options(vantrel_settings INTERFACE -Werror)
endif()

# fmt's formatting engine comes compiled from its shared library; see the header for why every
# file must be told so.
option(VANTREL_FMT_EXTERN "Use the shared fmt library's compiled formatting engine" ON)
if(VANTREL_FMT_EXTERN)
    target_compile_options(vantrel_settings INTERFACE
        "$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${CMAKE_CURRENT_LIST_DIR}/fmt_extern_templates.h>")
endif()

if(VANTREL_SANITIZE)
    target_compile_options(vantrel_settings INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(vantrel_settings INTERFACE -fsanitize=address,undefined)
endif()

# ThreadSanitizer cannot share a process with AddressSanitizer, so it is a build of its own.
option(VANTREL_TSAN "Build with ThreadSanitizer (not together with VANTREL_SANITIZE)" OFF)
if(VANTREL_TSAN)
    if(VANTREL_SANITIZE)
        message(FATAL_ERROR "VANTREL_TSAN and VANTREL_SANITIZE cannot be combined")
    endif()
    target_compile_options(vantrel_settings INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(vantrel_settings INTERFACE -fsanitize=thread)
endif()

# Each test, every time it runs, gets a private runtime folder (XDG_RUNTIME_DIR) so that Qt and
# friends never touch the user's: CTest starts the test program through this wrapper.
function(vantrel_use_private_runtime_dir target)
    set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR
        "${PROJECT_SOURCE_DIR}/cmake/with-private-runtime-dir.sh")
endfunction()

# Test programs link this in addition: GoogleTest plus the sanitizer flags above.
function(vantrel_add_gtest name)
    cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE vantrel::settings GTest::gtest GTest::gtest_main
                                          GTest::gmock ${ARG_LIBS})
    vantrel_use_private_runtime_dir(${name})
    set(label unit)
    if(ARG_LABEL)
        set(label ${ARG_LABEL})
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS ${label}
                   ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=0")
endfunction()
