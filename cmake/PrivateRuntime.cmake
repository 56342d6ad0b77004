# larkspan_private_runtime(target): natively, what ships carries the C++
# runtime inside it instead of loading libstdc++. The dynamic loader then maps
# two objects fewer and binds none of libstdc++'s thousands of symbols at every
# start, which is most of what a one-file download costs beyond curl's own
# tool. None of it is exported: the layer's interface is C, so each module
# keeps its own copy privately (--exclude-libs; a version script hides the
# C++ names the layer's own code instantiates), and a program written in C++
# may still use the system's. The unwinder stays the shared libgcc_s: one
# unwinder for every frame, so that pthread_exit and exceptions from a
# caller's window procedure unwind through the layer as before (a private
# one aborts on the first frame the shared one hands it). Unused runtime
# code is left out (--gc-sections). The sanitizer and fuzz builds (and any
# build with a sanitizer in its flags) keep the shared runtime, which their
# own runtimes expect.
function(larkspan_private_runtime target)
  if(WIN32 OR LARKSPAN_SANITIZED)
    return()
  endif()
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections)
  target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--exclude-libs,ALL -Wl,--gc-sections
    -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/c-names-only.map)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/c-names-only.map)
endfunction()
