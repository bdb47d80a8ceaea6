# tests of the wininet family
