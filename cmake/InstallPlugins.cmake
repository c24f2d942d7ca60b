# Plug-ins of the bundled command sets are machine code: installed into the
# library folder (LIBDIR/poshark), not the data folder. The sets name them by
# bare file name and the library looks for them beside the set file, so the
# sets folder gets a relative link to each; the links stay right under any
# install prefix and DESTDIR.
set(POSHARK_PLUGIN_DIR "${CMAKE_INSTALL_LIBDIR}/poshark")
set(POSHARK_SETS_DIR "${CMAKE_INSTALL_DATADIR}/poshark/Printer Commands")

function(poshark_install_plugin target)
  install(TARGETS ${target} LIBRARY DESTINATION "${POSHARK_PLUGIN_DIR}")
  get_target_property(prefix ${target} PREFIX)
  get_target_property(name ${target} OUTPUT_NAME)
  set(file "${prefix}${name}${CMAKE_SHARED_MODULE_SUFFIX}")
  file(RELATIVE_PATH target_path "/r/${POSHARK_SETS_DIR}" "/r/${POSHARK_PLUGIN_DIR}/${file}")
  install(CODE "
    set(link_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${POSHARK_SETS_DIR}\")
    file(MAKE_DIRECTORY \"\${link_dir}\")
    message(STATUS \"Installing: \${link_dir}/${file} -> ${target_path}\")
    file(CREATE_LINK \"${target_path}\" \"\${link_dir}/${file}\" SYMBOLIC)
  ")
endfunction()
