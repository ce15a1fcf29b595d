ph_fuzz_target(fuzz_snmp_readers SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzSnmpReaders.cpp LIBS phmib)
ph_fuzz_target(fuzz_oid_encoder SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzOidEncoder.cpp LIBS phmib)
