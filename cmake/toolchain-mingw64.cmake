# The same code for 64-bit Windows (x86-64), built and unit-tested so that it stays clean for
# both; nothing of it is shipped.
set(ORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
