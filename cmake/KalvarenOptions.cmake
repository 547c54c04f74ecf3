# Build-wide settings shared by both targets.

option(KALVAREN_SANITIZE "Build the native target with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KALVAREN_TSAN "Build the native target with ThreadSanitizer" OFF)
option(KALVAREN_FUZZ "Build the libFuzzer targets (clang; implies AddressSanitizer and UndefinedBehaviorSanitizer)" OFF)

if(KALVAREN_SANITIZE AND KALVAREN_TSAN)
    message(FATAL_ERROR "KALVAREN_SANITIZE and KALVAREN_TSAN exclude each other")
endif()

if(NOT WIN32)
    if(KALVAREN_FUZZ)
        add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                            -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    elseif(KALVAREN_SANITIZE)
        add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                            -fno-sanitize-recover=undefined)
        add_link_options(-fsanitize=address,undefined)
    elseif(KALVAREN_TSAN)
        add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
        add_link_options(-fsanitize=thread)
    endif()
    find_package(Threads REQUIRED)
endif()

if(WIN32)
    # No DLLs to ship besides the system's own.
    add_link_options(-static -static-libgcc -static-libstdc++)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
endif()

find_package(ZLIB REQUIRED)

# Warnings are errors in every target of our own (not in GoogleTest).
function(kal_target_defaults target)
    if(KALVAREN_FUZZ)
        # The fuzz build uses clang, whose warnings differ from the two product builds.
        target_compile_options(${target} PRIVATE -Wall -Wextra)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    endif()
    if(NOT WIN32)
        target_link_libraries(${target} PRIVATE Threads::Threads)
    endif()
endfunction()
