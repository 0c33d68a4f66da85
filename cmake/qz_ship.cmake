# Lean binaries: every program and DLL of the build, and each C++ runtime DLL
# copied beside them, is stripped of its debug information and symbols, which
# go to a file of its own beside it (name.exe.debug, name.dll.debug) that the
# binary names through a GNU debug link. A debugger reading a crash finds the
# information there; Wine maps only the lean image, which is what makes a
# process start fast (debug sections count in the image size and are read in
# at every load). The suites and the demo run these stripped files.
#
# Included after project() and before any target is defined: the split is two
# more commands of every link rule, so that each program and DLL is stripped
# by the link that makes it.
find_program(QZ_OBJCOPY NAMES ${QZ_MINGW_TRIPLE}-objcopy REQUIRED)

foreach(rule CMAKE_C_LINK_EXECUTABLE CMAKE_CXX_LINK_EXECUTABLE CMAKE_C_CREATE_SHARED_LIBRARY
             CMAKE_CXX_CREATE_SHARED_LIBRARY CMAKE_C_CREATE_SHARED_MODULE CMAKE_CXX_CREATE_SHARED_MODULE)
  if(NOT "${${rule}}" MATCHES "--add-gnu-debuglink")
    list(APPEND ${rule} "${QZ_OBJCOPY} --only-keep-debug <TARGET> <TARGET>.debug"
         "${QZ_OBJCOPY} --strip-all --add-gnu-debuglink=<TARGET>.debug <TARGET>")
  endif()
endforeach()

# The same split for a file copied into the build (the C++ runtime DLLs).
function(qz_split_debug file)
  execute_process(COMMAND ${QZ_OBJCOPY} --only-keep-debug ${file} ${file}.debug RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND ${QZ_OBJCOPY} --strip-all --add-gnu-debuglink=${file}.debug ${file} RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not split the debug information of ${file}")
  endif()
endfunction()
