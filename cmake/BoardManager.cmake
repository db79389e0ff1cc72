# Helpers that keep adding a subsystem to a few lines.

# bm_add_library(<name> [DEPS <targets>...])
# A static library from every source in the calling directory. Headers are
# included as "<dir>/<Header>.h" relative to lib/ or src/.
function(bm_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    message(STATUS "${name}: no sources yet")
    return()
  endif()
  add_library(${name} STATIC ${sources})
  get_filename_component(parent ${CMAKE_CURRENT_SOURCE_DIR} DIRECTORY)
  target_include_directories(${name} PUBLIC ${parent})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# bm_add_tests(<label> DEPS <targets>...)
# One test executable per *Test.cpp file in the calling directory, so a test
# file is built and run on its own; cases are registered with CTest and
# labelled with the subsystem.
function(bm_add_tests label)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  foreach(test ${tests})
    get_filename_component(stem ${test} NAME_WE)
    set(target ${label}_${stem})
    add_executable(${target} ${test} ${support})
    target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    if(TARGET testsupport)
      target_link_libraries(${target} PRIVATE testsupport)
    endif()
    target_compile_definitions(${target} PRIVATE
      BM_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
    gtest_discover_tests(${target} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()
