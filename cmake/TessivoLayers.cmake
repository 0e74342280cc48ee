# Include folders per layer. A layer's headers are included as "<layer>/Header.h"; the folder
# that makes that name work is a build-tree folder holding one link, <layer> -> the layer's
# source folder, so a target sees the layers it links (and the public include/ folder) and never
# the whole source tree.
#
# tessivo_layer_headers(<target> <PUBLIC|PRIVATE|INTERFACE> <layer>...)
function(tessivo_layer_headers target scope)
  foreach(layer ${ARGN})
    set(dir ${CMAKE_BINARY_DIR}/layers/${layer})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${layer} ${dir}/${layer} SYMBOLIC)
    target_include_directories(${target} ${scope} ${dir})
  endforeach()
endfunction()
