# Build helpers shared by every target of the project.

# Warnings live here and nowhere else.
function(velorin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
                         -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion
                         -Wno-sign-conversion -Wno-conversion)
  if(VELORIN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 reports maybe-uninitialized inside <regex> and <functional> when
  # the sanitizers instrument optimised code; those are not our variables.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND (VELORIN_SANITIZE OR VELORIN_TSAN))
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()

macro(velorin_setup_sanitizers)
  if(VELORIN_SANITIZE AND VELORIN_TSAN)
    message(FATAL_ERROR "VELORIN_SANITIZE and VELORIN_TSAN cannot be combined")
  endif()
  if(VELORIN_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
  endif()
  if(VELORIN_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  endif()
endmacro()

# velorin_add_library(name SOURCES ... [DEPS ...])
function(velorin_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  velorin_warnings(${name})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# velorin_add_executable(name SOURCES ... [DEPS ...])
function(velorin_add_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  velorin_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
endfunction()

# velorin_add_test(name SOURCES ... [DEPS ...] [LABELS ...] [FIXTURES ...] [TIMEOUT s])
# One GoogleTest executable, its cases registered with CTest one by one.
# FIXTURES names CTest fixtures the cases require (for example the JACK server,
# "jack_server"); a fixture is also a resource lock: cases that share one
# never run at the same time.
function(velorin_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS;FIXTURES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  velorin_warnings(${name})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  # gtest_discover_tests cannot carry a list as one property value: a second
  # label would be read as the name of a property and the properties after
  # it would be lost. So one label and one fixture per test.
  list(LENGTH ARG_LABELS nlabels)
  list(LENGTH ARG_FIXTURES nfixtures)
  if(nlabels GREATER 1 OR nfixtures GREATER 1)
    message(FATAL_ERROR "velorin_add_test(${name}): give at most one LABELS and one FIXTURES value")
  endif()
  if(ARG_LABELS)
    list(APPEND props LABELS ${ARG_LABELS})
  endif()
  if(ARG_FIXTURES)
    list(APPEND props FIXTURES_REQUIRED ${ARG_FIXTURES} RESOURCE_LOCK ${ARG_FIXTURES})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
