# The consumer check: kivmodule.c built against the installed tree and run, as another module of
# the unit would be (check.sh); on the target lane staged and run under the emulator. A sanitizer
# build's library needs the sanitizers' runtimes, which no module links: there the program is built
# in this tree against the shared library, by the C compiler, and run in the sandbox.
if(KIV_SANITIZE)
  add_executable(consumer_check ${CMAKE_CURRENT_LIST_DIR}/kivmodule.c)
  target_link_libraries(consumer_check PRIVATE kivcommon_shared)
  kiv_add_sandboxed_test(consumer_check)
  return()
endif()
# A host build passes no toolchain file and no emulator.
add_test(NAME consumer_check COMMAND ${CMAKE_CURRENT_LIST_DIR}/check.sh ${CMAKE_BINARY_DIR} ${CMAKE_C_COMPILER}
  ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_CROSSCOMPILING_EMULATOR})
