# Test helpers shared by every folder.
#
# tessivo_add_gtest(NAME <name> SOURCES <files...> [LIBS <targets...>] [ENVIRONMENT <k=v...>])
# builds one GoogleTest program and registers it as one CTest test. On Windows the program runs
# under Wine (the toolchain's emulator) and needs the Wine fixture that starts Xvfb and the prefix.
# On Linux every program runs with a private runtime directory of its own (channels and windows),
# so that `ctest -j` and several clones testing at once never meet.

if(CMAKE_CROSSCOMPILING)
  # Debian ships GoogleTest as source; build it with the cross compiler.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

set(TESSIVO_WINE_DIR ${CMAKE_BINARY_DIR}/wine)

function(tessivo_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  if(NOT WIN32)
    target_sources(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fixtures/private_runtime.cpp)
  endif()
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  # The test tree's own helpers, as "tests/<folder>/x.h".
  tessivo_layer_headers(${T_NAME} PRIVATE tests)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(env ${T_ENVIRONMENT})
  if(CMAKE_CROSSCOMPILING)
    list(APPEND env TESSIVO_WINE_DIR=${TESSIVO_WINE_DIR})
    # One Wine prefix is one namespace of named objects: two tests whose agents both want the
    # fixed return channel name cannot run side by side there.
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK wine_names)
  endif()
  if(env)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 300)
endfunction()

# tessivo_card_folder(<target> <folder> [<program targets>...]) fills <folder> after <target> is
# built (Windows): the agent loads the card vendor's module by file name from its own folder
# first, so a copy of the agent and of Vantrel.dll runs there beside the test module under the
# vendor's file name, with the programs named (tessivo-host, say) that should start that agent.
function(tessivo_card_folder target folder)
  set(programs)
  foreach(program ${ARGN})
    list(APPEND programs
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${folder}/$<TARGET_FILE_NAME:${program}>)
  endforeach()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
    ${programs}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tessivo> ${folder}/tessivo.exe
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:vantrel> ${folder}/Vantrel.dll
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tessivo_testmodule> ${folder}/TorvexPKCS11.dll)
endfunction()

if(CMAKE_CROSSCOMPILING)
  # One Xvfb and one booted prefix for the whole test run, stopped when the run ends.
  add_test(NAME wine_start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh start ${TESSIVO_WINE_DIR})
  add_test(NAME wine_stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-env.sh stop ${TESSIVO_WINE_DIR})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()
