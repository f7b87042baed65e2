# Both builds are kept at zero warnings; the test command (scripts/test.sh) makes them errors.
option(ORVANE_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra)
if(ORVANE_WERROR)
    add_compile_options(-Werror)
endif()

if(ORVANE_SANITIZE AND NOT WIN32)
    add_compile_options(-fsanitize=${ORVANE_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${ORVANE_SANITIZE})
endif()

# The fuzz build instruments every library the fuzzers drive, for coverage feedback and the sanitizers;
# everything linked in that build then carries the sanitizer runtimes.
if(ORVANE_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
    # One self-contained executable: no runtime DLL beyond the system's own.
    add_link_options(-static -static-libgcc -static-libstdc++)
    add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 UNICODE _UNICODE)
endif()
