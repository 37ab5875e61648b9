# The Windows identity check compiles against mingw-w64's headers on its own, without Qt.
find_program(ZUMVARI_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++ x86_64-w64-mingw32-g++-win32)
if(ZUMVARI_MINGW_CXX)
  add_test(NAME ${TEST_TARGET}.mingw COMMAND ${ZUMVARI_MINGW_CXX} -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic
           -Werror -I${PROJECT_SOURCE_DIR}/client ${PROJECT_SOURCE_DIR}/client/serveridentity_win.cpp)
  set_tests_properties(${TEST_TARGET}.mingw PROPERTIES LABELS client TIMEOUT 120)
endif()
