ph_fuzz_target(fuzz_request SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzRequest.cpp LIBS phservice)
