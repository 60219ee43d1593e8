# Fails when a source of the engine, the controller or the window converts a
# path with Qt's file-name encoding: on macOS it changes a name's normal
# form, so only NameBytes and NameText (engine/FileName.h) may do that.
# Run with -DSOURCE=<the project's folder>.
file(GLOB_RECURSE sources ${SOURCE}/engine/*.h ${SOURCE}/engine/*.cpp ${SOURCE}/app/*.h
     ${SOURCE}/app/*.cpp ${SOURCE}/ui/*.h ${SOURCE}/ui/*.cpp)
set(found "")
foreach(source IN LISTS sources)
    file(STRINGS ${source} lines REGEX "(encode|decode)Name *\\(")
    foreach(line IN LISTS lines)
        if(line MATCHES "QFile *:: *(encode|decode)Name")
            file(RELATIVE_PATH name ${SOURCE} ${source})
            string(STRIP "${line}" line)
            string(APPEND found "\n  ${name}: ${line}")
        endif()
    endforeach()
endforeach()
if(found)
    message(FATAL_ERROR "Qt's file-name encoding used on a path:${found}")
endif()
