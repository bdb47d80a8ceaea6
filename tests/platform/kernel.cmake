# tests of the kernel family
