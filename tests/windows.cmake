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

# Wine takes the ANSI code page from the Unix locale: the tests that need a given one
# make it theirs through LOCPATH (en_US.UTF-8: 1252, ja_JP.UTF-8: 932).
set(PORTS_WINE_LOCALES ${CMAKE_BINARY_DIR}/locales)
add_test(NAME wine.locales COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-locales ${PORTS_WINE_LOCALES})
set_tests_properties(wine.locales PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
list(APPEND PORTS_RUN_ENV PORTS_WINE_LOCALES=${PORTS_WINE_LOCALES})

# The real platform layer of this system, one CTest entry for the whole program in
# each of two ANSI code pages: every Wine start costs a moment.
add_executable(platform_tests test_platform_windows.cpp)
target_link_libraries(platform_tests PRIVATE ports_platform GTest::gtest)
target_link_options(platform_tests PRIVATE -static)
# A DLL beside the test exe, which a load by name must not find after the start-up.
add_library(ports_beside SHARED windows/beside.cpp)
set_target_properties(ports_beside PROPERTIES PREFIX "")
target_link_options(ports_beside PRIVATE -static)
add_dependencies(platform_tests ports_beside)
foreach(cp IN ITEMS 1252 932)
  if(cp STREQUAL 1252)
    set(locale en_US.UTF-8)
  else()
    set(locale ja_JP.UTF-8)
  endif()
  add_test(NAME platform.windows.cp${cp} COMMAND platform_tests --gtest_filter=-Interfaces.*)
  set_tests_properties(platform.windows.cp${cp} PROPERTIES
    ENVIRONMENT "${PORTS_RUN_ENV};LOCPATH=${PORTS_WINE_LOCALES};LC_ALL=${locale}"
    FIXTURES_REQUIRED wine TIMEOUT 120)
endforeach()

# The tests that need interfaces of their own: this host's addresses, link-local
# scopes. In a network namespace the script makes, with a Wine server of its own.
add_test(NAME platform.windows.interfaces
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/interfaces.py
                 $<TARGET_FILE:platform_tests>)
set_tests_properties(platform.windows.interfaces PROPERTIES
  ENVIRONMENT "${PORTS_RUN_ENV}" FIXTURES_REQUIRED wine TIMEOUT 300)

# A parent and its child, whose process answer the black-box suite test_process reads.
add_executable(process_tree windows/process_tree.cpp)
target_link_libraries(process_tree PRIVATE ws2_32)
target_link_options(process_tree PRIVATE -static)
list(APPEND PORTS_RUN_ENV "PORTS_PROCESS_TREE=$<TARGET_FILE:process_tree>")

# A named pipe that says whether anything connected: test_policy names it as a file.
add_executable(pipe_server windows/pipe_server.cpp)
target_link_options(pipe_server PRIVATE -static)
list(APPEND PORTS_RUN_ENV "PORTS_PIPE_SERVER=$<TARGET_FILE:pipe_server>")

# A DLL planted in the exe's folder is not loaded; a program that imports it the
# ordinary way shows that the planted copy would be found.
add_library(planted_iphlpapi SHARED windows/planted_iphlpapi.cpp)
set_target_properties(planted_iphlpapi PROPERTIES PREFIX "" OUTPUT_NAME iphlpapi)
target_link_libraries(planted_iphlpapi PRIVATE ws2_32)
target_link_options(planted_iphlpapi PRIVATE -static)
add_executable(iphlpapi_importer windows/iphlpapi_importer.cpp)
target_link_libraries(iphlpapi_importer PRIVATE iphlpapi ws2_32)
target_link_options(iphlpapi_importer PRIVATE -static)
add_test(NAME windows.planting
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/planting.py
                 $<TARGET_FILE:plugin_ports> $<TARGET_FILE:planted_iphlpapi>
                 $<TARGET_FILE:iphlpapi_importer>)
set_tests_properties(windows.planting PROPERTIES
  ENVIRONMENT "${PORTS_RUN_ENV}" FIXTURES_REQUIRED wine TIMEOUT 120)

# The program runs on a bare Windows machine from Vista on: it imports known DLLs
# only, and from them only functions Vista has.
add_test(NAME windows.imports
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows_imports.py
                 ${CMAKE_OBJDUMP} $<TARGET_FILE:plugin_ports>)

# The program started as a CGI host starts it, with an environment block built by
# hand: a password holding an unpaired surrogate opens nothing.
add_executable(env_launcher windows/env_launcher.cpp)
target_link_options(env_launcher PRIVATE -static -municode)
add_test(NAME windows.environment
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/environment.py
                 $<TARGET_FILE:plugin_ports> $<TARGET_FILE:env_launcher>)
set_tests_properties(windows.environment PROPERTIES
  ENVIRONMENT "${PORTS_RUN_ENV}" FIXTURES_REQUIRED wine TIMEOUT 300)

# The release exe: its version resource as Windows reads it, its header (no time
# stamp, address space randomisation), no debugging data, the same bytes from a
# second build elsewhere.
add_executable(version_info windows/version_info.cpp)
target_link_libraries(version_info PRIVATE version)
target_link_options(version_info PRIVATE -static -municode)
add_test(NAME windows.release
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/windows/release.py
                 ${CMAKE_OBJDUMP} $<TARGET_FILE:plugin_ports> $<TARGET_FILE:version_info>
                 ${PROJECT_SOURCE_DIR} ${CMAKE_TOOLCHAIN_FILE} ${PROJECT_VERSION})
set_tests_properties(windows.release PROPERTIES
  ENVIRONMENT "${PORTS_RUN_ENV}" FIXTURES_REQUIRED wine TIMEOUT 600)

# The zip of make package: its files, and the exe signed when a certificate is given.
add_test(NAME package.windows
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/package/windows.py
                 ${CMAKE_BINARY_DIR}/CPackConfig.cmake $<TARGET_FILE:plugin_ports>
                 ${PROJECT_VERSION} ${PROJECT_SOURCE_DIR})
set_tests_properties(package.windows PROPERTIES
  ENVIRONMENT "${PORTS_RUN_ENV}" FIXTURES_REQUIRED wine TIMEOUT 600)
