# The update's downtime on a generated one-folder bundle: from the application's exit to its
# restart, its parts, and the window in which there is no "_internal" at all.
add_executable(update_downtime_bench update_downtime.cpp)
target_compile_options(update_downtime_bench PRIVATE -Wall -Wextra)
target_link_options(update_downtime_bench PRIVATE -static -municode)
target_link_libraries(update_downtime_bench PRIVATE tavrio_updater_lib)
add_dependencies(update_downtime_bench tavrio-updater)
if(TARGET standin_app)
  add_dependencies(update_downtime_bench standin_app)
endif()
