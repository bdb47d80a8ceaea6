# sources of the process family: target_sources(dorvane_platform PRIVATE ...)
