# GoogleTest through CTest. kiv_add_gtest(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

function(kiv_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE KIV_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             KIV_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# A test written as a shell script: kiv_add_script_test(<name> <script> [LABELS ...] [TIMEOUT s])
function(kiv_add_script_test name script)
  cmake_parse_arguments(T "" "TIMEOUT" "LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND bash ${script})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
                       ENVIRONMENT "KIV_SOURCE_DIR=${PROJECT_SOURCE_DIR};KIV_BINARY_DIR=${PROJECT_BINARY_DIR}"
                       SKIP_RETURN_CODE 77)
endfunction()
