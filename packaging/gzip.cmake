# install_gzipped(FILE DESTINATION): installs FILE, a path relative to the
# current source directory, compressed as FILE.gz. Debian wants manual pages
# and changelogs so, made with gzip -9n: no name or time stamp in the
# header, so that the package is the same from one build to the next; man
# reads them as they are.
find_program(GZIP gzip REQUIRED)

function(install_gzipped file destination)
  get_filename_component(name ${file} NAME)
  set(copy ${CMAKE_CURRENT_BINARY_DIR}/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${file} ${copy}
    COMMAND ${GZIP} -9nf ${copy}
    DEPENDS ${file}
    VERBATIM)
  add_custom_target(${name}.gz ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()
