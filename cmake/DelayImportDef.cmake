# Writes the module-definition file of a delay import library from the toolchain's own import
# library of that DLL, so that the list of functions is never kept by hand.
#   cmake -DNM=<nm> -DIMPORT_LIB=<lib<name>.a> -DDLL=<name.dll> -DPREFIX=<"_" or ""> -DDEF=<out>
#         -P DelayImportDef.cmake
# A function of the DLL appears in the import library as a code thunk (a text symbol) next to its
# import address slot "__imp_<symbol>"; a data export has the slot only. Only functions are
# listed: a delay-loaded import is bound on its first call, which data cannot make. PREFIX is the
# target's symbol prefix ("_" on i686), taken off so that the file names the functions as the DLL
# does; i686 stdcall names keep their "@N" and the delay library is made with --kill-at.
foreach(required NM IMPORT_LIB DLL DEF)
    if(NOT DEFINED ${required})
        message(FATAL_ERROR "DelayImportDef.cmake: ${required} is not set")
    endif()
endforeach()

execute_process(COMMAND ${NM} --defined-only ${IMPORT_LIB}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed ERROR_VARIABLE reason)
if(failed)
    message(FATAL_ERROR "${NM} cannot read ${IMPORT_LIB}: ${reason}")
endif()

# Lines are "<value> <type> <name>"; member headers and blank lines carry no type.
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(thunks "")
foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]+ T (.+)$")
        list(APPEND thunks "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^[0-9a-fA-F]+ I __imp_(.+)$")
        set("slot:${CMAKE_MATCH_1}" TRUE)
    endif()
endforeach()
list(REMOVE_DUPLICATES thunks)
list(SORT thunks)

string(LENGTH "${PREFIX}" prefix_length)
set(exports "")
foreach(thunk IN LISTS thunks)
    if(NOT DEFINED "slot:${thunk}")
        continue()
    endif()
    if(prefix_length GREATER 0)
        string(FIND "${thunk}" "${PREFIX}" at)
        if(NOT at EQUAL 0)
            continue()
        endif()
        string(SUBSTRING "${thunk}" ${prefix_length} -1 thunk)
    endif()
    string(APPEND exports "    ${thunk}\n")
endforeach()
if(exports STREQUAL "")
    message(FATAL_ERROR "${IMPORT_LIB} names no function of ${DLL}")
endif()

file(WRITE "${DEF}.tmp" "LIBRARY ${DLL}\nEXPORTS\n${exports}")
file(COPY_FILE "${DEF}.tmp" "${DEF}" ONLY_IF_DIFFERENT)
file(REMOVE "${DEF}.tmp")
