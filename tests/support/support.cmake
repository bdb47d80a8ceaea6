# add_library(dorvane_test_support STATIC ...)  # servers on loopback, temp hives
