# Behaviour tests that drive libvadizu through its exported functions only,
# linked against the shared library the way a backup host loads it.
# Included from tests/CMakeLists.txt.
include(GoogleTest)
find_package(GTest REQUIRED)

# The host support every suite links: behaviour, reliability and cluster.
add_library(vadizu_test_host STATIC ${CMAKE_CURRENT_LIST_DIR}/host.cpp)
target_include_directories(vadizu_test_host PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vadizu_test_host PUBLIC vadizu GTest::gtest)

foreach(name info_file_test image_test list_test)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE vadizu_test_host GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endforeach()
