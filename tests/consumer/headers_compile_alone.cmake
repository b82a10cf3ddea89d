# cmake -DSOURCE=DIR -DPREFIX=DIR -P headers_compile_alone.cmake: compiles each public header
# alone, as a consumer includes it from the installed tree PREFIX (-I, so that its warnings
# are not hidden as a system header's are), with GCC and Clang, as C++17 and C++20, every
# warning an error; and a C++14 build must stop at once, in the library's own words. The
# headers are those of include/, of every component's tools/*/include/, and version.hpp.
file(GLOB headers ${SOURCE}/include/tavrello/*.hpp ${SOURCE}/tools/*/include/tavrello/*.hpp)
list(TRANSFORM headers REPLACE ".*/" "")
list(APPEND headers version.hpp)
set(flags -fsyntax-only -x c++ -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror
  -I${PREFIX}/include)
set(failed "")
foreach(compiler IN ITEMS g++ clang++)
  foreach(standard IN ITEMS c++17 c++20)
    # The commands of one execute_process() run at once; each reads /dev/null, not the pipe.
    set(commands "")
    foreach(header IN LISTS headers)
      list(APPEND commands COMMAND ${compiler} -std=${standard} ${flags}
        -include tavrello/${header} /dev/null)
    endforeach()
    execute_process(${commands} RESULTS_VARIABLE statuses ERROR_VARIABLE said)
    foreach(header status IN ZIP_LISTS headers statuses)
      if(status)
        string(APPEND failed "${said}^^^ ${compiler} -std=${standard}: <tavrello/${header}>\n")
      endif()
    endforeach()
  endforeach()
  execute_process(COMMAND ${compiler} -std=c++14 ${flags} -include tavrello/tavrello.hpp
    /dev/null ERROR_VARIABLE said)
  if(NOT said MATCHES "tavrello needs C\\+\\+17 or later" OR said MATCHES "std::any")
    string(APPEND failed "${said}^^^ ${compiler} -std=c++14 does not stop at once\n")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "${failed}")
endif()
