# The header-only libraries of the command line (CLI11 for the arguments, nlohmann-json for
# the JSON events), from Debian's packages.  Both builds take them through a folder of the
# build's own that holds links to these two libraries only, so that the cross build never
# sees the rest of /usr/include.
find_path(ORVANE_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH)
find_path(ORVANE_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH)
if(NOT ORVANE_CLI11_INCLUDE OR NOT ORVANE_JSON_INCLUDE)
    message(FATAL_ERROR "CLI11 and nlohmann-json are needed (scripts/setup.sh installs "
        "libcli11-dev and nlohmann-json3-dev)")
endif()

set(ORVANE_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${ORVANE_HEADER_ONLY_DIR})
file(CREATE_LINK ${ORVANE_CLI11_INCLUDE}/CLI ${ORVANE_HEADER_ONLY_DIR}/CLI SYMBOLIC)
file(CREATE_LINK ${ORVANE_JSON_INCLUDE}/nlohmann ${ORVANE_HEADER_ONLY_DIR}/nlohmann SYMBOLIC)

add_library(orvane_header_only INTERFACE)
target_include_directories(orvane_header_only SYSTEM INTERFACE ${ORVANE_HEADER_ONLY_DIR})
