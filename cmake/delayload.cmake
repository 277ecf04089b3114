# Delay-import libraries for the system DLLs that only some runs need. A
# program linked against one of them loads the DLL at its first call into it,
# not at start, so "--version" and "--help" start without the shell, COM,
# terminal services, WinHTTP, the certificate store and the socket layer.
# Under Wine each of these DLLs pulls in more of its own, and loading them is
# most of what a short run costs.
#
# orv_delay_library(NAME) makes ${CMAKE_BINARY_DIR}/delay/libNAME_delay.a from
# the functions of mingw-w64's import library libNAME.a (its data exports are
# left out: data cannot be imported late), adds the library's own code
# members (ws2_32's address-lookup helpers, say) so that their calls into the
# DLL bind to the late imports too, and sets orv_delay_NAME to its path.

find_program(ORV_NM ${ORV_CROSS}-nm REQUIRED)
find_program(ORV_DLLTOOL ${ORV_CROSS}-dlltool REQUIRED)
find_program(ORV_AR ${ORV_CROSS}-ar REQUIRED)

function(orv_delay_library name)
  find_library(import_lib_${name} NAMES lib${name}.a ${name} REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/delay)
  set(out ${dir}/lib${name}_delay.a)
  set(orv_delay_${name} ${out} PARENT_SCOPE)
  if(EXISTS ${out} AND NOT ${import_lib_${name}} IS_NEWER_THAN ${out})
    return()
  endif()
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${ORV_NM} ${import_lib_${name}} OUTPUT_VARIABLE syms
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot read ${import_lib_${name}}")
  endif()
  # A function has its call thunk (T NAME) beside its import slot
  # (I __imp_NAME); a data export has only the slot.
  string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z_][A-Za-z0-9_@]*" thunks "${syms}")
  string(REGEX MATCHALL " I __imp_[A-Za-z_][A-Za-z0-9_@]*" slots "${syms}")
  set(functions)
  foreach(t ${thunks})
    string(REGEX REPLACE "^[0-9a-f]+ T " "" f "${t}")
    list(FIND slots " I __imp_${f}" at)
    if(at GREATER -1)
      list(APPEND functions ${f})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES functions)
  list(JOIN functions "\n" body)
  file(WRITE ${dir}/${name}.def "LIBRARY ${name}.dll\nEXPORTS\n${body}\n")
  execute_process(COMMAND ${ORV_DLLTOOL} --input-def ${dir}/${name}.def
                          --output-delaylib ${out}
                  RESULT_VARIABLE rc ERROR_VARIABLE msg)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dlltool cannot make ${out}: ${msg}")
  endif()
  # mingw-w64 names the code members of an import library lib64_*.o; the
  # rest are the import stubs replaced above.
  execute_process(COMMAND ${ORV_AR} t ${import_lib_${name}} OUTPUT_VARIABLE members)
  string(REGEX MATCHALL "lib64_[^\n]*\\.o" code "${members}")
  if(code)
    set(xdir ${dir}/${name}.code)
    file(REMOVE_RECURSE ${xdir})
    file(MAKE_DIRECTORY ${xdir})
    execute_process(COMMAND ${ORV_AR} x ${import_lib_${name}} ${code} WORKING_DIRECTORY ${xdir})
    execute_process(COMMAND ${ORV_AR} rs ${out} ${code} WORKING_DIRECTORY ${xdir}
                    RESULT_VARIABLE rc ERROR_VARIABLE msg)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot add the code of ${import_lib_${name}} to ${out}: ${msg}")
    endif()
  endif()
endfunction()
