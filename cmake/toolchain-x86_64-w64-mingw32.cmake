# Cross-compiles 64-bit Windows binaries (the x64 flavour).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QZ_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64.cmake)
