# The shipped Windows programs: 32-bit x86, so that VELKO.EXE can load the developers' 32-bit
# signing libraries and runs on 32-bit and 64-bit Windows alike.
set(ORVANE_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-cross.cmake)
