# Helpers shared by tests/, fuzz/ and bench/.
find_package(GTest REQUIRED)

# updater_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l1 l2] [TIMEOUT s])
# One GoogleTest binary, run by CTest as one test. Tests get the paths of the
# built programs and the source tree through the environment.
function(updater_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
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
