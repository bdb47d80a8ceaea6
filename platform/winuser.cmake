# sources of the winuser family: target_sources(dorvane_platform PRIVATE ...)
