# Exploit mitigations and reproducible output for the Windows programs, set
# once for every target of the cross build so that each program gets the same.

# A static library installed for other programs carries the canary and
# checked-copy calls of its objects; their handlers are in the compiler's
# libssp, which every program that links the library must link too.
function(morvex_installed_static_library target)
  if(WIN32)
    target_link_libraries(${target} PRIVATE ssp)
  endif()
endfunction()

if(NOT WIN32)
  return()
endif()

set(morvex_optimised "$<NOT:$<CONFIG:Debug>>")

# Stack canaries in every function with a local array or address-taken local,
# and the C library's checked variants of copies and formatting wherever the
# compiler knows the destination's size. Both report through the gcc support
# library, which the link below pulls in statically.
add_compile_options("$<${morvex_optimised}:-fstack-protector-strong>")
add_compile_definitions("$<${morvex_optimised}:_FORTIFY_SOURCE=2>")
add_link_options("$<${morvex_optimised}:-fstack-protector-strong>")
# GCC 12's object-size analysis, which the checks switch on, reports a false
# overlap inside libstdc++'s own string assignment (GCC bug 105329); -Wrestrict
# has nothing else to say about this code.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options("$<${morvex_optimised}:-Wno-restrict>")
endif()

# The image: relocatable anywhere in the 64-bit address space, data pages not
# executable. The linker's defaults already do this; spelling it out keeps it
# if a default ever changes.
add_link_options(-Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)

# The same sources give the same bytes wherever and whenever they are built:
# no link time in the header, no build or source folder in the code, no debug
# sections (the static libraries bring theirs, with the folders they were
# built in), and archives without member dates or owners.
add_link_options(-Wl,--no-insert-timestamp -Wl,--strip-debug)
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=" "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=")
foreach(language C CXX RC)
  set(CMAKE_${language}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${language}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${language}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
