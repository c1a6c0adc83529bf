# The update's downtime on a generated one-folder bundle: from the application's exit to its
# restart, its parts, and the window in which there is no "_internal" at all.
add_executable(update_downtime_bench update_downtime.cpp)
target_link_libraries(update_downtime_bench PRIVATE tavrio_warnings)
target_link_options(update_downtime_bench PRIVATE -static -municode)
target_link_libraries(update_downtime_bench PRIVATE tavrio_updater_lib tavrio_scene)
add_dependencies(update_downtime_bench tavrio-updater)
if(TARGET standin_app)
  add_dependencies(update_downtime_bench standin_app)
endif()

# The package manifest check in-process on a generated stage of about 3,000 files and 100 MB.
add_executable(manifest_check_bench manifest_check.cpp)
target_link_libraries(manifest_check_bench PRIVATE tavrio_warnings)
target_link_options(manifest_check_bench PRIVATE -static -municode)
target_link_libraries(manifest_check_bench PRIVATE tavrio_updater_lib)
