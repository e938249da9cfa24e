# The ".qvex" shortcut object: plain C++ with a C interface, linked into libQvexSX2.so (as
# objects, so that its exports stay; only the C interface is visible) and into the launcher.
add_library(qvexsx2_shortcut OBJECT ${CMAKE_CURRENT_LIST_DIR}/shortcut_object.cpp)
set_target_properties(qvexsx2_shortcut PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(qvexsx2_shortcut PUBLIC ${PROJECT_SOURCE_DIR})
qvex_warnings(qvexsx2_shortcut)

qvex_test(shortcut_object_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/shortcut_object_test.cpp
    DEPS qvexsx2_shortcut qvex_state_startup qvex_test_support)

# The fuzz build has no use for the dialogs.
if(QVEX_FUZZ)
    return()
endif()

# The launcher's verbs on shortcut files: the properties dialog, the paste items (the
# clipboard's URL) and the upload of files dropped on a shortcut.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Test)
add_library(qvexsx2_verbs STATIC
    ${CMAKE_CURRENT_LIST_DIR}/properties_dialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shortcut_verbs.cpp)
set_target_properties(qvexsx2_verbs PROPERTIES AUTOMOC ON POSITION_INDEPENDENT_CODE ON)
target_link_libraries(qvexsx2_verbs PUBLIC qvexsx2_shortcut Qt6::Widgets)
qvex_warnings(qvexsx2_verbs)

if(QVEX_BUILD_TESTS)
    add_executable(shortcut_verbs_test ${CMAKE_CURRENT_LIST_DIR}/shortcut_verbs_test.cpp)
    set_target_properties(shortcut_verbs_test PROPERTIES AUTOMOC ON)
    target_link_libraries(shortcut_verbs_test PRIVATE qvexsx2_verbs qvex_test_support Qt6::Test)
    qvex_warnings(shortcut_verbs_test)
    add_test(NAME shortcut_verbs_test COMMAND shortcut_verbs_test)
    set_tests_properties(shortcut_verbs_test PROPERTIES TIMEOUT 120
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()
