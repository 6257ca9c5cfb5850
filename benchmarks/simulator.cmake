# Simulator benchmark: achieved frame rate and CPU time of the serving thread
# at 1000 frames per second, for each device kind.
find_package(benchmark REQUIRED)
add_executable(bench_simulator ${CMAKE_CURRENT_LIST_DIR}/bench_simulator.cpp)
target_link_libraries(bench_simulator PRIVATE brvsim benchmark::benchmark)
