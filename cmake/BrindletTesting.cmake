include(GoogleTest)

# brindlet_test(NAME n FOLDER f [SERVICES x11 avahi pulse dbus] SOURCES ... [LIBS ...])
# Builds one GoogleTest program; each of its tests is a ctest test labelled with the
# folder and with every service it needs. Tests that share a service which holds
# global state (the X display, the sound server, the mDNS daemon) never run at the same time.
function(brindlet_test)
  cmake_parse_arguments(T "" "NAME;FOLDER" "SERVICES;SOURCES;LIBS" ${ARGN})
  set(target test_${T_FOLDER}_${T_NAME})
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  set(labels ${T_FOLDER} ${T_SERVICES})
  set(locks "")
  foreach(s IN LISTS T_SERVICES)
    if(s STREQUAL "x11" OR s STREQUAL "pulse" OR s STREQUAL "avahi")
      list(APPEND locks ${s})
    endif()
  endforeach()
  # The display and the sound server are held by one test program at a time.
  if("x11" IN_LIST T_SERVICES OR "pulse" IN_LIST T_SERVICES)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/ServiceLocks.cpp)
    list(JOIN T_SERVICES "," lock_services)
    target_compile_definitions(${target} PRIVATE BRINDLET_TEST_LOCKS="${lock_services}")
  endif()
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_LIST ${target}_TESTS)
  # Labels and locks are lists, which gtest_discover_tests's PROPERTIES flattens (the
  # second label would be read as a property name); they are set on the discovered tests
  # by a script of our own that ctest reads after the discovery's.
  set(props "LABELS \"${labels}\" TIMEOUT 300")
  if(locks)
    string(APPEND props " RESOURCE_LOCK \"${locks}\"")
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_properties.cmake)
  file(WRITE ${script} "if(${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES ${props})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  # `tests_<folder>` builds every test program of one folder (the sanitizer builds use it).
  if(NOT TARGET tests_${T_FOLDER})
    add_custom_target(tests_${T_FOLDER})
  endif()
  add_dependencies(tests_${T_FOLDER} ${target})
endfunction()
