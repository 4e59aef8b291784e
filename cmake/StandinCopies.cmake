# cgishare_standin_copies(TARGET INSTALL_SUBDIR DIR...): a stand-in library that programs load
# beside their executable gets a copy in each DIR of the build tree after every build (the test
# programs, the console's pages, the master service), and is installed under
# <libdir>/cgishare/INSTALL_SUBDIR.
function(cgishare_standin_copies target install_subdir)
    foreach(dir ${ARGN})
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/${dir}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}>
                    ${PROJECT_BINARY_DIR}/${dir}/
            VERBATIM)
    endforeach()
    install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/cgishare/${install_subdir})
endfunction()
