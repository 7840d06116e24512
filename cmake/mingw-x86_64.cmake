# The test twin of the same sources, for 64-bit Wine where 32-bit code cannot run.
set(MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
