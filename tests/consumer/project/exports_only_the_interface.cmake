# cmake -DLIBRARY=FILE -P exports_only_the_interface.cmake: fails unless the shared library
# FILE exports the client and nothing of tavrello::internal.
execute_process(COMMAND nm -D --defined-only --demangle ${LIBRARY}
  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]*[ \t]tavrello::internal::[^\n]*" internal "${symbols}")
if(internal OR NOT symbols MATCHES "tavrello::TavrelloAPI::shared\\(\\)")
  message(FATAL_ERROR "${LIBRARY} exports:\n${symbols}")
endif()
