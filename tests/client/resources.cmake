varvex_add_test(tst_resources SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_resources.cpp LIBS varvexclientcore)
target_compile_definitions(tst_resources PRIVATE VARVEX_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
