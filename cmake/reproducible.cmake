# Two builds of the same commit give the same bytes, wherever the tree and the build folder lie: no
# build folder or source path in the objects, and no link time in the executable's header (whose
# checksum would then differ too).
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
endif()
