// Included ahead of every translation unit of ours (see VantrelSettings.cmake).
//
// Each spdlog call with arguments formats through fmt::detail::vformat_to<char>, a template that
// fmt 9 defines in its header without saying that the shared library already holds it compiled.
// Every file that logs therefore compiled and optimised the whole formatting engine again, about
// ten seconds a file under the sanitizers and most of a cold build's time. Declaring the
// instantiation extern makes those files call the library's copy instead.
#pragma once

#include <fmt/format.h>

#if !defined(FMT_HEADER_ONLY) && FMT_VERSION >= 90000 && FMT_VERSION < 100000
extern template FMT_API void fmt::detail::vformat_to<char>(
    fmt::detail::buffer<char>&, fmt::string_view, fmt::basic_format_args<fmt::buffer_context<char>>,
    fmt::detail::locale_ref);
#endif
