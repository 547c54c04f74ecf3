# Transfer tests: command lines on both targets; runs, reports, daemon transfers
# and scheduled runs natively, where the runner's output is called on its worker.
kal_add_gtest(engine_transfer_tests
    SOURCES transfer_commandline_tests.cpp
    LIBS kal_engine
)
target_include_directories(engine_transfer_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
if(NOT WIN32)
    kal_add_gtest(engine_transfer_run_tests
        SOURCES transfer_run_tests.cpp transfer_mail_tests.cpp transfer_e2e_tests.cpp
                scheduled_tests.cpp
        LIBS kal_engine kal_testsupport
    )
endif()
if(NOT WIN32)
    kal_add_benchmark(transfer_benchmark SOURCES transfer_benchmark.cpp
                      LIBS kal_engine kal_testsupport)
endif()
