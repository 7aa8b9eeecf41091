# Process spawner fixture: Spawn.h/.cpp and the idler program it starts under
# whatever name a test needs. Included from tests/support, and from bench/
# when the tests are not built.
include_guard(GLOBAL)

add_executable(adv_spawn_child ${CMAKE_CURRENT_LIST_DIR}/SpawnChild.cpp)
target_link_libraries(adv_spawn_child PRIVATE adv_warnings)
# Kept free of the sanitizer runtimes: it is test scaffolding, not code under
# test, and a benchmark starts thousands of copies of it.
target_compile_options(adv_spawn_child PRIVATE -fno-sanitize=all)
target_link_options(adv_spawn_child PRIVATE -fno-sanitize=all)

add_library(adv_test_process STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Spawn.h
  ${CMAKE_CURRENT_LIST_DIR}/Spawn.cpp)
target_include_directories(adv_test_process PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(adv_test_process PRIVATE
  ADV_SPAWN_CHILD="$<TARGET_FILE:adv_spawn_child>")
target_link_libraries(adv_test_process PRIVATE adv_warnings)
add_dependencies(adv_test_process adv_spawn_child)
