# Cross-compiles 32-bit Windows binaries (the x86 flavour).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QZ_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
