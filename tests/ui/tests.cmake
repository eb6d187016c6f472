# The window's tests: Qt Widgets driven with Qt Test on the offscreen platform. Each program
# sets the platform and runtime and configuration folders of its own (ui_test_support.cpp).
# Without Qt the window is not built and these programs compile to nothing (no tests).
file(GLOB ui_test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_test.cpp)
if(TARGET timbrelo_ui)
    find_package(Qt6 REQUIRED COMPONENTS Test)
    # Objects, not an archive: the test environment registers itself at start-up.
    add_library(timbrelo_ui_test_support OBJECT ${CMAKE_CURRENT_LIST_DIR}/ui_test_support.cpp)
    target_include_directories(timbrelo_ui_test_support PUBLIC ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(timbrelo_ui_test_support PUBLIC timbrelo_ui Qt6::Test GTest::gtest)
    foreach(source ${ui_test_sources})
        get_filename_component(stem ${source} NAME_WE)
        target_link_libraries(ui_${stem} PRIVATE timbrelo_ui_test_support timbrelo_sim)
    endforeach()
else()
    set_source_files_properties(${ui_test_sources} PROPERTIES HEADER_FILE_ONLY ON)
endif()
