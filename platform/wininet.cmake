# sources of the wininet family: target_sources(dorvane_platform PRIVATE ...)
