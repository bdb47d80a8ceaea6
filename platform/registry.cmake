# The settings hive: the registry calls over one SQLite database per user.
target_sources(dorvane_platform PRIVATE
  winreg.h registry_failure.h
  registry_value.h registry_value.cpp
  registry_sqlite.cpp
  sqlite_hive.h sqlite_hive.cpp
)
target_link_libraries(dorvane_platform PRIVATE SQLite::SQLite3)
