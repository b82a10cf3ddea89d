# cmake -DBUILD=DIR -DPREFIX=DIR -P installs_only_its_own.cmake: installs the build tree DIR
# into an empty PREFIX and fails unless exactly the consumer's own program landed there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmake --install failed")
endif()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
if(NOT installed STREQUAL "bin/consumer")
  message(FATAL_ERROR "installed: ${installed}")
endif()
