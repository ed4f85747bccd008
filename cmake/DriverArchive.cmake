# The CP210x driver package that orbtray.exe carries as resource "Driver" of type "ZIP" and
# installs when a PC lacks the driver. Packagers name the vendor's archive:
#   -DORBTRAY_DRIVER_ARCHIVE=/path/to/CP210x_Universal_Windows_Driver.zip
# Without it the build carries a stand-in of the same shape, which pnputil will refuse: good for
# development and tests, never for users. Such a build says so here and in its version resource.
set(ORBTRAY_DRIVER_ARCHIVE "" CACHE FILEPATH
    "The CP210x driver package (ZIP, silabser.inf at its root) that orbtray.exe installs")

if(ORBTRAY_DRIVER_ARCHIVE)
    if(NOT EXISTS "${ORBTRAY_DRIVER_ARCHIVE}")
        message(FATAL_ERROR "ORBTRAY_DRIVER_ARCHIVE: no file ${ORBTRAY_DRIVER_ARCHIVE}")
    endif()
    set(driver_archive "${ORBTRAY_DRIVER_ARCHIVE}")
    set(ORBTRAY_DRIVER_STANDIN OFF)
    message(STATUS "Driver package: ${driver_archive}")
else()
    # Made once per build tree (the archive records times, so a new one would rebuild every
    # program that carries it); change the name when the stand-in changes.
    set(driver_archive ${CMAKE_BINARY_DIR}/driver-standin-1.zip)
    if(NOT EXISTS ${driver_archive})
        set(standin ${CMAKE_BINARY_DIR}/driver-standin)
        file(REMOVE_RECURSE ${standin})
        file(WRITE ${standin}/silabser.inf
             "; STAND-IN for the CP210x driver package, made by the OrbTray build: not a driver.\r\n"
             "; Build with -DORBTRAY_DRIVER_ARCHIVE=<vendor package .zip> for a release.\r\n"
             "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nCatalogFile=silabser.cat\r\n")
        file(WRITE ${standin}/silabser.cat "stand-in catalogue\r\n")
        set(members silabser.inf silabser.cat)
        foreach(arch x86 x64 arm arm64)
            file(WRITE ${standin}/${arch}/silabser.sys "stand-in driver\r\n")
            list(APPEND members ${arch})
        endforeach()
        execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${driver_archive} --format=zip
                                ${members}
                        WORKING_DIRECTORY ${standin} RESULT_VARIABLE zipped)
        if(NOT zipped EQUAL 0)
            file(REMOVE ${driver_archive})
            message(FATAL_ERROR "Could not make the stand-in driver package ${driver_archive}")
        endif()
    endif()
    set(ORBTRAY_DRIVER_STANDIN ON)
    message(WARNING "orbtray.exe carries a STAND-IN driver package that installs nothing; "
                    "give the vendor's with -DORBTRAY_DRIVER_ARCHIVE=path/to.zip")
endif()

# One resource script for every program that carries the package (the tests' too).
set(ORBTRAY_DRIVER_RC ${CMAKE_BINARY_DIR}/generated/DriverArchive.rc)
file(CONFIGURE OUTPUT ${ORBTRAY_DRIVER_RC}
     CONTENT "// Made by cmake/DriverArchive.cmake.\nDriver ZIP \"${driver_archive}\"\n")
set(ORBTRAY_DRIVER_ARCHIVE_FILE ${driver_archive})

# Gives a program the package as its resource; the resource is rebuilt when the package changes.
function(orbtray_carry_driver target)
    target_sources(${target} PRIVATE ${ORBTRAY_DRIVER_RC})
    set_source_files_properties(${ORBTRAY_DRIVER_RC} PROPERTIES
                                OBJECT_DEPENDS ${ORBTRAY_DRIVER_ARCHIVE_FILE})
endfunction()
