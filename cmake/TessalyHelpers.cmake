# tessaly_add_test(NAME SOURCES... LIBS ... [LABELS ...])
# Builds one GoogleTest program and registers its cases with CTest.
function(tessaly_add_test name)
  if(NOT TESSALY_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABELS}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# tessaly_add_fuzzer(NAME SOURCES... [LIBS ...] [INCLUDES ...] CORPUS DIR [DICT FILE] [MAX_LEN N])
# Builds one libFuzzer target (only with TESSALY_BUILD_FUZZ) and lists it in fuzz-targets.tsv of the build
# folder, which scripts/fuzz.sh and scripts/test.sh read: name, program, seed corpus in the repository,
# dictionary ("-" for none), largest input in bytes.
function(tessaly_add_fuzzer name)
  if(NOT TESSALY_BUILD_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "CORPUS;DICT;MAX_LEN" "SOURCES;LIBS;INCLUDES" ${ARGN})
  if(NOT F_CORPUS OR NOT F_MAX_LEN)
    message(FATAL_ERROR "tessaly_add_fuzzer(${name}): CORPUS and MAX_LEN are required")
  endif()
  if(NOT F_DICT)
    set(F_DICT "-")
  endif()
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${F_INCLUDES})
  add_dependencies(fuzz_targets ${name})
  set_property(GLOBAL APPEND PROPERTY TESSALY_FUZZ_TARGETS
    "${name}\t$<TARGET_FILE:${name}>\t${F_CORPUS}\t${F_DICT}\t${F_MAX_LEN}\n")
endfunction()
