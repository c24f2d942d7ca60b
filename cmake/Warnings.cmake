# Compiler warnings for every target of the project, set in one place.
#
#   poshark_setup_target(tgt)        warnings for one target
#   poshark_setup_targets_in(dir)    the same for every target defined in
#                                    dir and the folders below it
#
# POSHARK_WERROR=ON (used by CI) makes every warning an error. Under clang
# the lock annotations of platform/ThreadAnnotations.h are checked too
# (-Wthread-safety).
option(POSHARK_WERROR "Treat compiler warnings as errors" OFF)

function(poshark_setup_target tgt)
  get_target_property(type ${tgt} TYPE)
  get_target_property(imported ${tgt} IMPORTED)
  if(imported OR NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
    return()
  endif()
  # g++'s "may be used uninitialized" analysis misfires inside the standard
  # library (std::regex, std::function) on sanitizer-instrumented code; the
  # plain build keeps the warning.
  target_compile_options(${tgt} PRIVATE
    -Wall -Wextra
    $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>
    $<$<AND:$<CXX_COMPILER_ID:GNU>,$<BOOL:${POSHARK_SANITIZE}>>:-Wno-maybe-uninitialized>
    $<$<BOOL:${POSHARK_WERROR}>:-Werror>)
endfunction()

function(poshark_setup_targets_in dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(tgt IN LISTS targets)
    poshark_setup_target(${tgt})
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    poshark_setup_targets_in(${sub})
  endforeach()
endfunction()
