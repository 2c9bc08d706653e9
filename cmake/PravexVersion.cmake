# One version for every program: the project's, with `git describe` added when built from a checkout.
# The description is taken at build time (a new commit shows without a new configure); the generated
# file is rewritten only when it changes, so an unchanged checkout rebuilds nothing.
include(GNUInstallDirs)
set(PRAVEX_APP_ID example.pravex.monitor)
set(PRAVEX_PRIVLIBDIR "${CMAKE_INSTALL_LIBDIR}/pravex")

set(pravex_version_cpp ${CMAKE_BINARY_DIR}/generated/PravexVersionInfo.cpp)
add_custom_target(pravex_version_info
    COMMAND ${CMAKE_COMMAND} -DOUT=${pravex_version_cpp} -DVERSION=${PROJECT_VERSION}
            -DAPP_ID=${PRAVEX_APP_ID} "-DPRIVLIBDIR=${CMAKE_INSTALL_FULL_LIBDIR}/pravex"
            -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/PravexWriteVersion.cmake
    BYPRODUCTS ${pravex_version_cpp}
    COMMENT "Version from git describe" VERBATIM)
add_library(pravex_version STATIC ${CMAKE_SOURCE_DIR}/common/version/ProgramVersion.cpp
    ${CMAKE_SOURCE_DIR}/common/version/ProgramVersion.h ${pravex_version_cpp})
add_dependencies(pravex_version pravex_version_info)
target_include_directories(pravex_version PUBLIC ${CMAKE_SOURCE_DIR}/common/version)
set_target_properties(pravex_version PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF)
