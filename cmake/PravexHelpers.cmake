# pravex_subsystem(NAME DEPS...): one library from every .cpp/.h in the calling folder, except files
# whose names end in _main.cpp (program entry points). Platform files are picked by suffix.
function(pravex_subsystem name)
    file(GLOB sources CONFIGURE_DEPENDS
        ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
    list(FILTER sources EXCLUDE REGEX "_main\\.cpp$")
    list(FILTER sources EXCLUDE REGEX "_win\\.cpp$")
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
    # A header-only start still needs a language for the archive.
    set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
endfunction()
