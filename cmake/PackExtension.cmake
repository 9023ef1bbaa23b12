# Packs the extension folder as one zip, with its manifest stripped of the
# members named in DROP (comma-separated, dots between nested names):
#
#   cmake -DSOURCE=DIR -DSTAGING=DIR -DOUTPUT=FILE [-DDROP=key,background.scripts] -P PackExtension.cmake
#
# The files are those of the folder (manifest.json and *.js); the zip's times
# are fixed, so that the same sources give the same package.
foreach(var SOURCE STAGING OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "PackExtension.cmake needs -D${var}=...")
    endif()
endforeach()

file(READ ${SOURCE}/manifest.json manifest)
if(DROP)
    string(REPLACE "," ";" members "${DROP}")
    foreach(member ${members})
        string(REPLACE "." ";" path "${member}")
        string(JSON manifest REMOVE "${manifest}" ${path})
    endforeach()
    string(APPEND manifest "\n")
endif()

file(REMOVE_RECURSE ${STAGING})
file(MAKE_DIRECTORY ${STAGING})
file(GLOB scripts RELATIVE ${SOURCE} ${SOURCE}/*.js)
list(SORT scripts)
foreach(script ${scripts})
    file(COPY_FILE ${SOURCE}/${script} ${STAGING}/${script})
endforeach()
file(WRITE ${STAGING}/manifest.json "${manifest}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT} --format=zip --mtime=2000-01-01 manifest.json ${scripts}
    WORKING_DIRECTORY ${STAGING}
    RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "could not write ${OUTPUT}")
endif()
