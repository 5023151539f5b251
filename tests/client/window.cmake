varvex_add_test(tst_window
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_window.cpp
          ${CMAKE_CURRENT_LIST_DIR}/fakeservice/fakeservice.cpp
          ${CMAKE_CURRENT_LIST_DIR}/fakeservice/fakeservice.h
  LIBS varvexclientcore
  TIMEOUT 120)
target_include_directories(tst_window PRIVATE ${CMAKE_CURRENT_LIST_DIR}/fakeservice)
