// Compiled only to make the tests' precompiled header (cmake/Defaults.cmake).
