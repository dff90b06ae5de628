# Run by CPack on the staged files of every package, before it packs them. The install
# rules keep RUNPATHs that let a tree installed under any prefix find its own libraries;
# below /usr the system's search path finds them, and Debian wants none. Every package
# gets the copyright and changelog files Debian asks for.
file(GLOB TREL_STAGED_COMPONENTS LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(stage ${TREL_STAGED_COMPONENTS})
    get_filename_component(component "${stage}" NAME)
    string(TOUPPER "${component}" upper)
    set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
    if(NOT IS_DIRECTORY "${stage}" OR NOT package)
        continue()
    endif()

    file(GLOB_RECURSE files "${stage}/*")
    foreach(file ${files})
        if(NOT IS_SYMLINK "${file}")
            file(READ "${file}" magic LIMIT 4 HEX)
            if(magic STREQUAL "7f454c46")
                file(RPATH_REMOVE FILE "${file}")
            endif()
        endif()
    endforeach()

    set(doc "${stage}/usr/share/doc/${package}")
    file(MAKE_DIRECTORY "${doc}")
    file(COPY_FILE "${CPACK_TREL_SOURCE_DIR}/packaging/copyright" "${doc}/copyright")
    # gzip -n: no name or time stamp in the header, as Debian wants.
    execute_process(COMMAND gzip -9n -c "${CPACK_TREL_SOURCE_DIR}/packaging/changelog"
        OUTPUT_FILE "${doc}/changelog.Debian.gz" RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
        message(FATAL_ERROR "gzip of the changelog for ${package} failed")
    endif()
    file(CHMOD "${doc}/copyright" "${doc}/changelog.Debian.gz"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
