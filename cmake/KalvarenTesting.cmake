# GoogleTest from the Debian sources, built with the same flags as the project.
set(KAL_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${KAL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

# kal_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [FIXTURES ...])
# One executable per area; every TEST becomes one ctest entry. Discovery runs at
# test time, because a build-time run under a cold Wine prefix times out.
# FIXTURES: ctest fixtures (FIXTURES_REQUIRED) every test of the executable needs.
function(kal_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;FIXTURES" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    kal_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
    if(WIN32)
        set(label windows)
    elseif(KALVAREN_TSAN)
        set(label tsan)
    else()
        set(label native)
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 120
        TEST_PREFIX "${label}."
        TEST_LIST ${name}_TESTS
        PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    # gtest_discover_tests flattens list values in PROPERTIES (two ENVIRONMENT
    # entries became a bogus property that swallowed whatever followed), so the
    # list-valued properties are set by a script that runs after discovery.
    set(labels ${label} ${ARG_LABELS})
    set(environment "KAL_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "KAL_BINARY_DIR=${CMAKE_BINARY_DIR}")
    set(properties "LABELS [==[${labels}]==] ENVIRONMENT [==[${environment}]==]")
    if(ARG_FIXTURES)
        string(APPEND properties " FIXTURES_REQUIRED [==[${ARG_FIXTURES}]==]")
    endif()
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
    file(WRITE ${script}
        "if(${name}_TESTS)\n"
        "    set_tests_properties(\${${name}_TESTS} PROPERTIES ${properties})\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# A benchmark: an ordinary executable that prints figures and fails nothing.
# ctest runs it once so the figures appear in every test run.
function(kal_add_benchmark name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;ARGS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    kal_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    if(WIN32)
        set(label windows)
    elseif(KALVAREN_TSAN)
        set(label tsan)
    else()
        set(label native)
    endif()
    add_test(NAME ${label}.bench.${name} COMMAND ${name} ${ARG_ARGS})
    # Figures of speed want the machine to themselves; under a sanitizer they say
    # little about speed, and the run is spared minutes of a core left idle.
    if(KALVAREN_SANITIZE OR KALVAREN_TSAN)
        set(serial FALSE)
    else()
        set(serial TRUE)
    endif()
    set_tests_properties(${label}.bench.${name} PROPERTIES
        LABELS "${label};bench" TIMEOUT ${ARG_TIMEOUT} RUN_SERIAL ${serial}
        ENVIRONMENT "KAL_SOURCE_DIR=${PROJECT_SOURCE_DIR};KAL_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()

# A Windows test that runs as the program does: under its manifest (the UTF-8
# code page) and with its version resource. Nothing natively.
function(kal_use_program_resources target)
    if(WIN32)
        target_sources(${target} PRIVATE ${KAL_RESOURCE_SCRIPT})
        # The resource script's generated version header.
        target_include_directories(${target} PRIVATE
            $<TARGET_PROPERTY:kal_desktop,INTERFACE_INCLUDE_DIRECTORIES>)
    endif()
endfunction()
