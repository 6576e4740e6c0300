# Included by the `mingw` preset right after the top-level project() (CMAKE_PROJECT_INCLUDE):
# adds this folder's tests to the cross build, whose MORVANE_TESTS is off because the other test
# folders need Linux. Targets are resolved at generation, so linking serialport and portinfo,
# which are defined later, works.
if(CMAKE_SOURCE_DIR STREQUAL CMAKE_CURRENT_SOURCE_DIR AND NOT TARGET wintestsupport)
    include(${CMAKE_SOURCE_DIR}/cmake/MorvaneWarnings.cmake)
    enable_testing()
    find_package(GTest REQUIRED)
    include(GoogleTest)
    add_subdirectory(${CMAKE_SOURCE_DIR}/tests/win ${CMAKE_BINARY_DIR}/tests/win)
endif()
