# The bench's build pieces for the veltrane_sim target: the demo bench file compiled in, so the
# file in benches/ and the built-in bench never drift apart.
set(VELTRANE_DEMO_BENCH ${CMAKE_SOURCE_DIR}/benches/demo.json)
set(VELTRANE_DEMO_BENCH_CPP ${CMAKE_BINARY_DIR}/generated/DemoBenchText.cpp)
add_custom_command(
  OUTPUT ${VELTRANE_DEMO_BENCH_CPP}
  COMMAND ${CMAKE_COMMAND} -DIN=${VELTRANE_DEMO_BENCH} -DOUT=${VELTRANE_DEMO_BENCH_CPP}
          -DNAME=kDemoBenchText -P ${CMAKE_CURRENT_LIST_DIR}/EmbedText.cmake
  DEPENDS ${VELTRANE_DEMO_BENCH} ${CMAKE_CURRENT_LIST_DIR}/EmbedText.cmake
  COMMENT "Embedding the demo bench")
target_sources(veltrane_sim PRIVATE ${VELTRANE_DEMO_BENCH_CPP})
