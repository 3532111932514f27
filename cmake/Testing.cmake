# Helpers shared by tests/, fuzz/ and bench/.
find_package(GTest REQUIRED)

# Test labels, for "ctest -L":
#   unit        every test that is not end-to-end (make check runs these)
#   e2e         the built programs run as a user runs them (tests/e2e)
#   needs-root  tests with cases that skip without root (network namespaces,
#               another user id); see the README for what each skips
#   tsan        the tests the ThreadSanitizer build runs

# updater_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2] [TIMEOUT s])
# One GoogleTest binary, run by CTest as one test, labelled "unit" unless it
# is labelled "e2e". Tests get the paths of the built programs and the source
# tree through the environment, and link the kit of tests/support.
function(updater_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT "e2e" IN_LIST T_LABELS)
    list(APPEND T_LABELS unit)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env "UPDATER_SOURCE_DIR=${CMAKE_SOURCE_DIR};UPDATER_BUILD_DIR=${CMAKE_BINARY_DIR};ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0")
  if(UPDATER_TSAN)
    # Child processes (corvantis-sim, the bus clients) inherit these too.
    list(APPEND env "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/cmake/tsan.supp:second_deadlock_stack=1")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" ENVIRONMENT "${env}")
endfunction()

# updater_add_tests_in_folder(LIBS lib... [LABELS ...])
# Every test_<name>.cpp in the calling folder becomes its own test binary
# <folder>_<name>, linked with LIBS; a folder with tests needing more than one
# source calls updater_add_test itself for those.
function(updater_add_tests_in_folder)
  cmake_parse_arguments(G "" "TIMEOUT" "LIBS;LABELS;EXCLUDE" ${ARGN})
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  foreach(file ${files})
    get_filename_component(base ${file} NAME_WE)
    if(base IN_LIST G_EXCLUDE)
      continue()
    endif()
    string(REGEX REPLACE "^test_" "" short ${base})
    updater_add_test(${folder}_${short} SOURCES ${file} LIBS ${G_LIBS} LABELS ${G_LABELS} TIMEOUT ${G_TIMEOUT})
  endforeach()
endfunction()

# updater_label_tests(LABELS l... TESTS name...)
# Adds labels to tests already made, such as "needs-root" to some of a folder's.
function(updater_label_tests)
  cmake_parse_arguments(L "" "" "LABELS;TESTS" ${ARGN})
  foreach(test ${L_TESTS})
    if(TEST ${test})
      set_property(TEST ${test} APPEND PROPERTY LABELS ${L_LABELS})
    endif()
  endforeach()
endfunction()
