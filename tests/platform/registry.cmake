# tests of the registry family
dorvane_add_gtest(test_registry
  SOURCES test_registry.cpp
  LIBS dorvane_platform SQLite::SQLite3
  LABELS threaded
  TIMEOUT 60)
