# Writes the 40-hex-digit commit of the source tree into a C++ source file;
# 40 zeros when the tree is not a git checkout. Rewritten only when it changes.
execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --verify HEAD
                OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE status ERROR_QUIET)
if(NOT status EQUAL 0 OR NOT revision MATCHES "^[0-9a-f]+$")
  set(revision "0000000000000000000000000000000000000000")
endif()
set(content "// Generated at build time.\n#include \"encoder/control/build_revision.h\"\nconst char *const build_revision = \"${revision}\";\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
