# GoogleTest for both builds, and orvane_add_test(): one test program per component,
# registered with CTest.  Cross builds run them through CMAKE_CROSSCOMPILING_EMULATOR
# (wine), so one ctest runs native and Windows tests alike.
if(CMAKE_CROSSCOMPILING)
    # Debian's googletest package ships the sources; build them with the cross compiler.
    set(ORVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
    add_subdirectory(${ORVANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
    find_package(GTest REQUIRED)
endif()

# orvane_add_test(NAME SOURCES src... LIBS lib... [TIMEOUT seconds] [LABELS l...])
function(orvane_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} orvane_test_main GTest::gtest)
    orvane_warnings(${name})
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "unit;${T_LABELS}")
    if(CMAKE_CROSSCOMPILING)
        # The emulator (cmake/wine-run.sh) answers 77 for a program this machine can't run
        # at all: a 32-bit one where the kernel runs no 32-bit code.
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    endif()
endfunction()
