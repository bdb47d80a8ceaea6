# tests of the registry family
