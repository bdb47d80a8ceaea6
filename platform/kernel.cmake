# sources of the kernel family: target_sources(dorvane_platform PRIVATE ...)
