add_subdirectory(zqxls)
