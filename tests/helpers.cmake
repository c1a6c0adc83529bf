# Helper programs shared by several test executables.
tavrio_helper(standin_app helpers/standin_app.cpp)
target_link_options(standin_app PRIVATE -mwindows)
tavrio_helper(hold_open helpers/hold_open.cpp)
target_link_options(hold_open PRIVATE -mwindows)
tavrio_helper(env_launcher helpers/env_launcher.cpp)
