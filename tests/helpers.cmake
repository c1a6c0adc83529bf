# Helper programs shared by several test executables.
tavrio_helper(standin_app helpers/standin_app.cpp)
target_link_options(standin_app PRIVATE -mwindows)
tavrio_helper(hold_open helpers/hold_open.cpp)
target_link_options(hold_open PRIVATE -mwindows)
tavrio_helper(env_launcher helpers/env_launcher.cpp)
# Lays out the demo's sample installations with the tests' scene builder.
tavrio_helper(make_scene helpers/make_scene.cpp)
target_link_libraries(make_scene PRIVATE tavrio_scene)
