# Compile options of the WebAssembly build (scripts/build-web.sh, through
# Debian's emscripten): WebAssembly SIMD with the SSE2 code paths, C++
# exceptions as WebAssembly exceptions (the out-of-memory path catches
# std::bad_alloc), and no threads unless YVN_WEB_THREADS is on: a module
# built with threads needs SharedArrayBuffer, which a browser gives only to
# cross-origin isolated pages.
option(YVN_WEB_THREADS "Threaded WebAssembly module (cross-origin isolated pages, Node)" OFF)
add_compile_options(-msimd128 -msse2 -fwasm-exceptions)
add_link_options(-fwasm-exceptions)
if(YVN_WEB_THREADS)
  add_compile_options(-pthread)
  add_link_options(-pthread)
else()
  add_compile_definitions(YVN_NO_THREADS)
endif()
# lcms2.h spells its arguments with `register` unless told not to (C++17).
add_compile_definitions(CMS_NO_REGISTER_KEYWORD=1)
# One static link: position-independent code would only cost.
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
