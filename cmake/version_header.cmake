# Run at build time (cmake -P): writes OUT with the project version and the commit the tree is at, and
# leaves it untouched when neither changed, so only the one file that includes it is compiled again.
# Inputs: SOURCE_DIR, OUT, VERSION.
execute_process(COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12
                OUTPUT_VARIABLE ORVANE_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR ORVANE_COMMIT STREQUAL "")
    set(ORVANE_COMMIT "unknown commit")
endif()
file(CONFIGURE OUTPUT "${OUT}" CONTENT "// Generated at build time.
#pragma once
#define ORVANE_PUBLISHER_VERSION \"${VERSION}\"
#define ORVANE_PUBLISHER_COMMIT \"${ORVANE_COMMIT}\"
" @ONLY)
