ph_fuzz_target(fuzz_file_url SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzFileUrl.cpp LIBS phplatform)
