# Tests of the Windows build, run under Wine (CMAKE_CROSSCOMPILING_EMULATOR).

# No GoogleTest package exists for the target: it is built from the packaged sources.
set(PORTS_GTEST_SOURCE_DIR /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${PORTS_GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -Wno-error)
target_compile_options(gtest_main PRIVATE -Wno-error)

# One prefix for every test, made before the first of them: the first start of Wine
# builds it, slowly and with messages that would land in a test's standard error.
set(PORTS_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
add_test(NAME wine.prefix COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix ${PORTS_WINE_PREFIX})
set_tests_properties(wine.prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
list(APPEND PORTS_RUN_ENV WINEPREFIX=${PORTS_WINE_PREFIX} WINEDEBUG=-all)
list(APPEND PORTS_RUN_FIXTURES wine)

# The real platform layer of this system, one CTest entry for the whole program:
# every Wine start costs a moment.
add_executable(platform_tests test_platform_windows.cpp)
target_link_libraries(platform_tests PRIVATE ports_platform GTest::gtest_main)
target_link_options(platform_tests PRIVATE -static)
add_test(NAME platform.windows COMMAND platform_tests)
set_tests_properties(platform.windows PROPERTIES
  ENVIRONMENT "${PORTS_RUN_ENV}" FIXTURES_REQUIRED wine TIMEOUT 120)

# The program runs on a bare Windows machine: it imports system DLLs only.
add_test(NAME windows.imports
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows_imports.py
                 ${CMAKE_OBJDUMP} $<TARGET_FILE:plugin_ports>)
