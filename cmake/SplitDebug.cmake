# larkspan_split_debug(target): what ships carries no debugging information
# (it made up most of the DLL's size and held the build's source paths). The 
# DWARF sections move to TARGET.debug beside the binary, which names it in a
# debug link, so gdb or a crash tool that finds both can still read a crash
# from the field; the .debug files ship in a symbols archive of their own.
#
# The stripped file is then padded to a multiple of 8 bytes, with its checksum
# set to match (cmake/pe-align.py), so that removing a signature from it gives
# back these very bytes.
if(WIN32)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
endif()
function(larkspan_split_debug target)
  if(NOT WIN32)
    return()
  endif()
  # objcopy stamps each PE file it writes with the time, unless
  # SOURCE_DATE_EPOCH names one: 0, as the link leaves it (--no-insert-timestamp),
  # so that the .debug file, the debug link's checksum of it and the stripped
  # file are the same in every build of a commit.
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${objcopy} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
            $<TARGET_FILE_NAME:${target}>
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/pe-align.py $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
