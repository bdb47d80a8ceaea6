# sources of the registry family: target_sources(dorvane_platform PRIVATE ...)
