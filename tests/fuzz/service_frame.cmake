ph_fuzz_target(fuzz_cancel_watcher_paths SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzCancelWatcherPaths.cpp LIBS phservice)
ph_fuzz_target(fuzz_file_url SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzFileUrl.cpp LIBS phplatform)
