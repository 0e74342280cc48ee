# Targets for what comes from outside the tree, shared by the programs, the library and the tests.

# The Cryptoki header (p11-kit's, a public PKCS#11 header) and our own public headers. The cross
# build uses the same header: it is plain C and the same on both platforms.
find_package(PkgConfig REQUIRED)
pkg_check_modules(P11KIT_PC QUIET p11-kit-1)
find_path(P11KIT_INCLUDE_DIR p11-kit/pkcs11.h
  HINTS ${P11KIT_PC_INCLUDE_DIRS}
  PATH_SUFFIXES p11-kit-1
  NO_CMAKE_FIND_ROOT_PATH REQUIRED)
add_library(tessivo_cryptoki INTERFACE)
target_include_directories(tessivo_cryptoki INTERFACE ${P11KIT_INCLUDE_DIR}
  ${CMAKE_SOURCE_DIR}/include)

# Header-only libraries, exposed to the cross build without the rest of the host's include folder.
set(TESSIVO_THIRDPARTY_INCLUDE ${CMAKE_BINARY_DIR}/thirdparty/include)
file(MAKE_DIRECTORY ${TESSIVO_THIRDPARTY_INCLUDE})
foreach(header nlohmann/json.hpp CLI/CLI.hpp)
  get_filename_component(dir ${header} DIRECTORY)
  string(MAKE_C_IDENTIFIER "TESSIVO_${dir}_ROOT" var)
  find_path(${var} ${header} NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  if(NOT EXISTS ${TESSIVO_THIRDPARTY_INCLUDE}/${dir})
    file(CREATE_LINK ${${var}}/${dir} ${TESSIVO_THIRDPARTY_INCLUDE}/${dir} SYMBOLIC)
  endif()
endforeach()
add_library(tessivo_thirdparty INTERFACE)
target_include_directories(tessivo_thirdparty SYSTEM INTERFACE ${TESSIVO_THIRDPARTY_INCLUDE})
