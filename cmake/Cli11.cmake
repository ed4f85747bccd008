# CLI11 parses the command lines of orbtray and orbsim. Debian ships it header-only under
# /usr/include/CLI, which the MinGW cross compiler does not search, and putting all of
# /usr/include on its path would mix the Linux C library's headers into the Windows build. So the
# CLI folder alone is linked into a folder of the build tree, and that folder is what the targets
# see, natively and cross alike.
find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp
          PATHS /usr/include /usr/local/include
          NO_CMAKE_FIND_ROOT_PATH
          DOC "The folder that holds CLI/CLI.hpp (Debian: libcli11-dev)")
if(NOT CLI11_INCLUDE_DIR)
    message(FATAL_ERROR "CLI11 not found: install libcli11-dev (scripts/install-deps.sh)")
endif()

set(ORBTRAY_CLI11_STAGE ${CMAKE_BINARY_DIR}/cli11-include)
file(MAKE_DIRECTORY ${ORBTRAY_CLI11_STAGE})
file(CREATE_LINK ${CLI11_INCLUDE_DIR}/CLI ${ORBTRAY_CLI11_STAGE}/CLI SYMBOLIC)

add_library(orbtray_cli11 INTERFACE)
target_include_directories(orbtray_cli11 SYSTEM INTERFACE ${ORBTRAY_CLI11_STAGE})
