# SPDX-License-Identifier: MIT
# The consumer check: the guide's example module built against the installed tree and run, as
# another module of the unit would be (check.sh); on the target lane staged and run under the
# emulator. A sanitizer build's library needs the sanitizers' runtimes, which no module links:
# there the program is built in this tree against the shared library, by the C compiler, and run
# in the sandbox with the supervisor's stand-in.
if(KIV_SANITIZE)
  add_executable(consumer_check ${CMAKE_CURRENT_LIST_DIR}/kivmodule.c)
  target_link_libraries(consumer_check PRIVATE kivcommon_shared)
  add_test(NAME consumer_check COMMAND ${KIV_SANDBOX} timeout 30 ${CMAKE_CURRENT_LIST_DIR}/supervisor.sh
    $<TARGET_FILE:consumer_check>)
  return()
endif()
# A host build passes no toolchain file and no emulator.
add_test(NAME consumer_check COMMAND ${CMAKE_CURRENT_LIST_DIR}/check.sh ${CMAKE_BINARY_DIR} ${CMAKE_C_COMPILER}
  ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_CROSSCOMPILING_EMULATOR})
