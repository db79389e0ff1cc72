# Helpers that keep adding a subsystem to a few lines.

# bm_add_library(<name> [DEPS <targets>...])
# A static library from every source in the calling directory. Headers are
# included as "<dir>/<Header>.h". Each library has an include root of its own
# in the build tree, holding only a link <dir> to its directory, so a target
# sees the headers of its own library and of those it links, and an include
# of a layer above fails to build.
function(bm_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    message(STATUS "${name}: no sources yet")
    return()
  endif()
  add_library(${name} STATIC ${sources})
  get_filename_component(dir ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${CMAKE_BINARY_DIR}/include/${name})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${dir} SYMBOLIC)
  target_include_directories(${name} PUBLIC ${root})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Seconds a test executable may take to list its cases at build time: a build
# at the lowest priority on a busy machine (.ci/run) may wait long for the CPU.
set(BM_DISCOVERY_TIMEOUT 600)

# bm_add_tests(<label> DEPS <targets>...)
# One test executable per *Test.cpp file in the calling directory, so a test
# file is built and run on its own; cases are registered with CTest and
# labelled with the subsystem. The directory's support/*.cpp are compiled
# once, into <label>_support, and linked into each of them.
function(bm_add_tests label)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  file(GLOB support CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp)
  set(common ${label}_common)
  add_library(${common} INTERFACE)
  target_include_directories(${common} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${common} INTERFACE ${ARG_DEPS} GTest::gtest GTest::gmock)
  if(TARGET testsupport)
    target_link_libraries(${common} INTERFACE testsupport)
  endif()
  target_compile_definitions(${common} INTERFACE
    BM_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
  if(support)
    add_library(${label}_support OBJECT ${support})
    target_link_libraries(${label}_support PUBLIC ${common})
    set(common ${label}_support)
  endif()
  foreach(test ${tests})
    get_filename_component(stem ${test} NAME_WE)
    set(target ${label}_${stem})
    add_executable(${target} ${test})
    target_link_libraries(${target} PRIVATE ${common} GTest::gtest_main)
    gtest_discover_tests(${target} PROPERTIES LABELS ${label}
      DISCOVERY_TIMEOUT ${BM_DISCOVERY_TIMEOUT})
  endforeach()
endfunction()
