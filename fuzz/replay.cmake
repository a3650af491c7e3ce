# Every fuzz target's seed corpus replayed through the target by an ordinary test program, in every
# build with tests (the sanitizer builds too). Found by name: fuzz/fuzz_NAME.cpp with its seeds in
# fuzz/corpus/fuzz_NAME/. A target without a corpus folder gets a test that fails.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
file(GLOB quelvar_fuzz_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
foreach(source IN LISTS quelvar_fuzz_sources)
  get_filename_component(target ${source} NAME_WE)
  add_executable(replay_${target} ${source} ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_link_libraries(replay_${target} PRIVATE quelvar_core dorrinel_core OpenSSL::Crypto)
  add_test(NAME replay_${target} COMMAND replay_${target} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target})
  set_tests_properties(replay_${target} PROPERTIES LABELS core)
endforeach()
