# Delay-loaded system DLLs: a DLL named here is loaded on the first call into it instead of with
# the module that imports it, so that a host pays only for the DLLs that the code it runs needs.
#
# vrx_delay_load(TARGET DLL...): links TARGET with a delay import library of each DLL (a name such
# as "ole32"), made at build time from the toolchain's import library lib<name>.a: the functions
# are read from it (cmake/DelayImportDef.cmake) and dlltool makes the delay library. mingw-w64's
# __delayLoadHelper2 (libmingwex) binds the imports. The delay libraries come first on TARGET's
# link line, ahead of the ordinary import libraries that its dependencies name, so that they win.
set(VRX_DELAY_IMPORT_DEF ${CMAKE_CURRENT_LIST_DIR}/DelayImportDef.cmake)

function(vrx_delay_load target)
    # i686 names its symbols with a leading underscore and imports stdcall functions by their
    # undecorated names; x86_64 does neither.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(prefix "_")
        set(kill_at --kill-at)
    else()
        set(prefix "")
        set(kill_at "")
    endif()
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/delayload)
    file(MAKE_DIRECTORY ${dir})
    set(libraries "")
    foreach(name IN LISTS ARGN)
        # The import library that -l<name> would link: the compiler driver names it.
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${name}.a
                        OUTPUT_VARIABLE import_lib OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${import_lib}" OR NOT EXISTS "${import_lib}")
            message(FATAL_ERROR "vrx_delay_load: no import library lib${name}.a for ${name}.dll")
        endif()
        set(def ${dir}/${name}.def)
        set(delay_lib ${dir}/lib${name}-delay.a)
        add_custom_command(
            OUTPUT ${delay_lib}
            COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DIMPORT_LIB=${import_lib}
                    -DDLL=${name}.dll -DPREFIX=${prefix} -DDEF=${def} -P ${VRX_DELAY_IMPORT_DEF}
            # dlltool names the library's symbols after the output's path as given: a relative
            # one keeps the build folder out of them.
            COMMAND ${CMAKE_DLLTOOL} ${kill_at} --input-def ${name}.def --dllname ${name}.dll
                    --output-delaylib lib${name}-delay.a
            WORKING_DIRECTORY ${dir}
            DEPENDS ${import_lib} ${VRX_DELAY_IMPORT_DEF}
            BYPRODUCTS ${def}
            COMMENT "Delay import library of ${name}.dll"
            VERBATIM)
        list(APPEND libraries ${delay_lib})
    endforeach()
    add_custom_target(${target}_delay_libs DEPENDS ${libraries})
    add_dependencies(${target} ${target}_delay_libs)
    target_link_libraries(${target} PRIVATE ${libraries})
endfunction()
