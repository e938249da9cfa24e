# Libraries follow the layers of the design. Each library declares its layer and what it
# links in its folder's CMakeLists.txt (qvex_library below); that declaration is the only
# list of layers. Linking a library of the same or a higher layer is a configuration error,
# so a reader knows from a file's folder what it may use. The build also writes the
# declarations to layers.txt in the build folder, which tools/check_layers.py reads to check
# every include.

function(qvex_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
        -Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual -Wimplicit-fallthrough)
    if(QVEX_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

function(qvex_check_layer name layer)
    foreach(dep IN LISTS ARGN)
        get_property(dep_layer GLOBAL PROPERTY QVEX_LAYER_${dep})
        if("${dep_layer}" STREQUAL "")
            message(FATAL_ERROR "${name} links ${dep}, which is not a project library defined below it")
        endif()
        if(dep_layer GREATER_EQUAL layer)
            message(FATAL_ERROR
                "${name} (layer ${layer}) may not link ${dep} (layer ${dep_layer}): libraries link only what lies below them")
        endif()
    endforeach()
endfunction()

# qvex_library(<name> LAYER <n> SOURCES ... [DEPS <project libs>] [EXTERNAL <system libs>])
function(qvex_library name)
    cmake_parse_arguments(ARG "" "LAYER" "SOURCES;DEPS;EXTERNAL" ${ARGN})
    if("${ARG_LAYER}" STREQUAL "")
        message(FATAL_ERROR "qvex_library(${name}) needs a LAYER")
    endif()
    qvex_check_layer(${name} ${ARG_LAYER} ${ARG_DEPS})
    add_library(${name} STATIC ${ARG_SOURCES})
    set_property(GLOBAL PROPERTY QVEX_LAYER_${name} ${ARG_LAYER})
    # One line per library for the include check: name, folder, layer, linked libraries.
    file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    list(JOIN ARG_DEPS " " deps)
    set_property(GLOBAL APPEND_STRING PROPERTY QVEX_LAYER_TABLE
        "${name}\t${folder}\t${ARG_LAYER}\t${deps}\n")
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} ${ARG_EXTERNAL})
    qvex_warnings(${name})
endfunction()

function(qvex_write_layer_table)
    get_property(table GLOBAL PROPERTY QVEX_LAYER_TABLE)
    file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/layers.txt CONTENT "${table}")
endfunction()
# Written once every folder has declared its libraries.
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL qvex_write_layer_table)

# qvex_test(<name> [THREADED] SOURCES ... DEPS ...): one GoogleTest executable, each case a
# CTest test. THREADED marks the programs whose code under test runs threads of its own (the
# bus, the log receiver, the session worker, transfers, hashing workers): target
# threaded_tests builds them and their cases carry the label "threaded", which is what a
# ThreadSanitizer build (QVEX_TSAN) runs.
function(qvex_test name)
    cmake_parse_arguments(ARG "THREADED" "" "SOURCES;DEPS" ${ARGN})
    if(NOT QVEX_BUILD_TESTS)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
    qvex_warnings(${name})
    set(properties TIMEOUT 120)
    if(ARG_THREADED)
        list(APPEND properties LABELS threaded)
        if(NOT TARGET threaded_tests)
            add_custom_target(threaded_tests)
        endif()
        add_dependencies(threaded_tests ${name})
    endif()
    if(QVEX_TSAN)
        # The first report fails its test.
        list(APPEND properties ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30
        PROPERTIES ${properties})
endfunction()

# qvex_benchmark(<name> SOURCES ... DEPS ...)
function(qvex_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    if(NOT QVEX_BUILD_BENCH)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark benchmark::benchmark_main)
    qvex_warnings(${name})
    # A short run in CTest proves each benchmark still works; figures come from a full run.
    if(QVEX_BUILD_TESTS)
        add_test(NAME ${name}.smoke COMMAND ${name} --benchmark_min_time=0.01)
        set_tests_properties(${name}.smoke PROPERTIES LABELS bench TIMEOUT 300)
    endif()
endfunction()

# qvex_fuzzer(<name> SOURCES ... DEPS ...): libFuzzer target, built with clang only.
function(qvex_fuzzer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    if(NOT QVEX_FUZZ)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_DEPS})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # New inputs go to a corpus in the build tree; the committed seeds are only read.
    add_test(NAME ${name}.run
        COMMAND ${PROJECT_SOURCE_DIR}/fuzz/run_fuzzer.sh $<TARGET_FILE:${name}> ${QVEX_FUZZ_SECONDS}
                ${CMAKE_CURRENT_BINARY_DIR}/corpus/${name} ${CMAKE_CURRENT_SOURCE_DIR}/seeds/${name})
    set_tests_properties(${name}.run PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()
